#include "src/py/binding.h"

#include <string>

#include "platform/words.h"
#include "src/errors.h"
#include "src/py/gil.h"
#include "src/py/ref.h"
#include "src/py/text.h"

namespace vistrel::py {

namespace {

// The Python name of the live thread `ident` ('MainThread', 'Thread-2 (worker)'), or how
// it is known when the threading module has no record of it.
std::string thread_name(unsigned long ident) {
    ErrorGuard pending;
    std::string name;
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    Ref threads = Ref::steal(threading ? PyObject_CallMethod(threading.get(), "enumerate", nullptr) : nullptr);
    const Py_ssize_t count = threads ? PyList_Size(threads.get()) : 0;
    for (Py_ssize_t i = 0; i < count && name.empty(); ++i) {
        PyObject* thread = PyList_GetItem(threads.get(), i);  // borrowed
        Ref id = Ref::steal(PyObject_GetAttrString(thread, "ident"));
        if (!id || PyLong_AsUnsignedLong(id.get()) != ident) continue;
        Ref text = Ref::steal(PyObject_GetAttrString(thread, "name"));
        if (!text) continue;
        name.assign(1, '\'').append(utf8(text.get())).push_back('\'');
    }
    PyErr_Clear();
    return name.empty() ? "a thread that has ended (ident " + std::to_string(ident) + ")" : name;
}

// "the Capturer was created on thread 'MainThread' and used on thread 'worker'".
std::string use_detail(const char* class_path, unsigned long owner) {
    std::string_view path(class_path);
    const std::size_t colons = path.rfind("::");
    const std::string_view cls = colons == std::string_view::npos ? path : path.substr(colons + 2);
    std::string detail = "the ";
    detail.append(cls).append(" was created on thread ").append(thread_name(owner));
    detail.append(" and used on thread ").append(thread_name(PyThread_get_thread_ident()));
    return detail.append("; use each object on the thread that made it");
}

}  // namespace

bool ThreadBinding::check(const char* class_path) const {
    if (on_owner_thread()) return true;
    raise_internal_fault(words::sent_to_other_thread(class_path, use_detail(class_path, owner_ident_)));
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

}  // namespace vistrel::py
