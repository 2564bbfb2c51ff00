// Text between Python and C++ (UTF-8 both ways) under the stable ABI.
#pragma once

#include <string>
#include <string_view>

#include "src/py/ref.h"

namespace vistrel::py {

// A new str from UTF-8 text (the text is always valid UTF-8 here).
inline Ref str(std::string_view text) {
    return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// The UTF-8 text of a str; characters UTF-8 cannot carry (lone surrogates) are
// backslash-escaped. Empty with a pending error when `object` is not a str.
inline std::string utf8(PyObject* object) {
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(object, "utf-8", "backslashreplace"));
    if (!bytes) return {};
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return {};
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace vistrel::py
