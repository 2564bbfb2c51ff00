#include "src/py/binding.h"

#include <string>

#include "src/errors.h"
#include "src/py/gil.h"

namespace vistrel::py {

bool ThreadBinding::check(const char* class_path) const {
    if (on_owner_thread()) return true;
    raise_internal_fault(std::string(class_path) + " is unsendable, but sent to another thread");
    return false;
}

SharedBorrow::SharedBorrow(BorrowFlag& flag) {
    if (flag.exclusive()) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return;
    }
    ++flag.count_;
    flag_ = &flag;
}

SharedBorrow::~SharedBorrow() {
    if (flag_) --flag_->count_;
}

ExclusiveBorrow::ExclusiveBorrow(BorrowFlag& flag) {
    if (flag.in_use()) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return;
    }
    flag.count_ = -1;
    flag_ = &flag;
}

ExclusiveBorrow::~ExclusiveBorrow() {
    if (flag_) flag_->count_ = 0;
}

void report_dropped_on_other_thread(const char* class_path) {
    ErrorGuard pending;  // dealloc must not disturb a pending error
    std::string text = std::string(class_path) + " is unsendable, but is being dropped on another thread";
    PyErr_SetString(PyExc_RuntimeError, text.c_str());
    PyErr_WriteUnraisable(nullptr);
}

}  // namespace vistrel::py
