// What every object of this module checks before it is touched: that it is used on the
// thread that created it, and that no conflicting (re-entrant) use is in progress.
#pragma once

#include <thread>

#include "src/py/python.h"

namespace vistrel::py {

// The creating thread's identity.
class ThreadBinding {
public:
    // Call with the interpreter lock held.
    ThreadBinding() : owner_(std::this_thread::get_id()), owner_ident_(PyThread_get_thread_ident()) {}
    bool on_owner_thread() const { return std::this_thread::get_id() == owner_; }
    // False with the internal fault "<class_path> is unsendable, but sent to another thread"
    // set, in the provider's words (which may name both threads).
    bool check(const char* class_path) const;

private:
    std::thread::id owner_;
    unsigned long owner_ident_;  // the creating thread as Python's threading module knows it
};

// Shared (readers) or exclusive (one mutator) use of an object.
class BorrowFlag {
public:
    bool exclusive() const { return count_ < 0; }
    bool in_use() const { return count_ != 0; }

private:
    friend class SharedBorrow;
    friend class ExclusiveBorrow;
    int count_ = 0;  // > 0: that many shared users; -1: one exclusive user
};

// Holds the flag shared for the scope; fails with "Already mutably borrowed".
class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag);
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow();
    // False with RuntimeError set when the object is held exclusively.
    bool ok() const { return flag_ != nullptr; }

private:
    BorrowFlag* flag_ = nullptr;
};

// Holds the flag exclusively for the scope; fails with "Already borrowed".
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag);
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow();
    bool ok() const { return flag_ != nullptr; }

private:
    BorrowFlag* flag_ = nullptr;
};

}  // namespace vistrel::py
