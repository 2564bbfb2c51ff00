// Failure: how every layer below the Python methods reports what went wrong, and
// Result<T>, a value or a Failure. Nothing here touches Python, so the capture core
// and the capture threads create and carry failures without the interpreter lock.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

#include "platform/com_ptr.h"

namespace vistrel {

class Failure {
public:
    enum class Kind { Hresult, Closed, IteratorActive, BadValue, Described, DeadlineExpired };

    // A failed platform call; `error_info` is what GetErrorInfo held right after it.
    static Failure hresult(HRESULT code, ComPtr<IErrorInfo> error_info = nullptr) {
        Failure f(Kind::Hresult);
        f.code_ = code;
        f.error_info_ = std::move(error_info);
        return f;
    }
    // A failed platform call whose cause is known better than the system's text for its
    // code; the text replaces that one and the code is kept.
    static Failure hresult_explained(HRESULT code, std::string text) {
        Failure f = hresult(code);
        f.text_ = std::move(text);
        return f;
    }
    // A platform call that reported success but delivered no object.
    static Failure no_object() { return hresult(S_OK); }
    static Failure closed() { return Failure(Kind::Closed); }
    static Failure iterator_active() { return Failure(Kind::IteratorActive); }
    static Failure deadline_expired() { return Failure(Kind::DeadlineExpired); }
    // A value the caller gave that cannot be used (a region, a format, an index), in words
    // naming it. Raised as ValueError.
    static Failure bad_value(std::string text) { return with_text(Kind::BadValue, std::move(text)); }
    // A failure known only by its words: a platform answer that has no code of its own, or
    // a capture thread's exception as text. Raised as ValueError too: the exception classes
    // with an `hresult` are kept for failed calls that carry one.
    static Failure described(std::string text) { return with_text(Kind::Described, std::move(text)); }

    Failure(Failure&&) noexcept = default;
    Failure& operator=(Failure&&) noexcept = default;
    Failure(const Failure&) = delete;
    Failure& operator=(const Failure&) = delete;

    Kind kind() const { return kind_; }
    std::uint32_t code() const { return static_cast<std::uint32_t>(code_); }
    IErrorInfo* error_info() const { return error_info_.get(); }
    ComPtr<IErrorInfo> take_error_info() { return std::move(error_info_); }
    // The BadValue and Described kinds' text, or an Hresult failure's explanation (empty when none).
    const std::string& text() const { return text_; }

private:
    explicit Failure(Kind kind) : kind_(kind) {}
    static Failure with_text(Kind kind, std::string text) {
        Failure f(kind);
        f.text_ = std::move(text);
        return f;
    }

    Kind kind_;
    HRESULT code_ = 0;
    ComPtr<IErrorInfo> error_info_;
    std::string text_;
};

// An internal fault: a condition correct use does not reach. Thrown below a Python entry
// point (on any thread, without the interpreter lock) and raised there as the
// internal-fault exception, derived from BaseException.
class InternalFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A value or the Failure that prevented it.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &std::get<0>(state_); }
    Failure& failure() & { return std::get<1>(state_); }
    Failure&& failure() && { return std::get<1>(std::move(state_)); }
    Failure take_failure() { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, Failure> state_;
};

// Success without a value.
struct Ok {};
using Status = Result<Ok>;

}  // namespace vistrel
