// The embedded interpreter the C++ tests run Python-facing code in.
#pragma once

#include <string>

#include "src/py/ref.h"

namespace vistrel::test {

// Runs Python statements in a fresh namespace; returns the namespace (null on error,
// with the error printed).
py::Ref run_python(const std::string& code);

// The pending exception's class name and str(), cleared. Empty name when none is pending.
struct RaisedError {
    std::string type_name;
    std::string message;
    py::Ref value;
};
RaisedError take_raised();

}  // namespace vistrel::test
