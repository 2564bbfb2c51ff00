#include "tests/cpp/python_env.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "src/py/text.h"

namespace vistrel::test {
namespace {

class PythonEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        // The test binary is not the interpreter: point it at the standard library and
        // the development environment's site-packages (for NumPy).
        setenv("PYTHONHOME", VISTREL_TEST_PYTHON_HOME, 0);
        std::string path = VISTREL_TEST_SITE_PACKAGES;
        if (const char* existing = std::getenv("PYTHONPATH")) path = path + ":" + existing;
        setenv("PYTHONPATH", path.c_str(), 1);
        Py_Initialize();
    }
    void TearDown() override { Py_FinalizeEx(); }
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new PythonEnvironment);

}  // namespace

py::Ref run_python(const std::string& code) {
    py::Ref globals = py::Ref::steal(PyDict_New());
    py::Ref builtins = py::Ref::steal(PyImport_ImportModule("builtins"));
    if (!globals || !builtins) return {};
    PyDict_SetItemString(globals.get(), "__builtins__", builtins.get());
    py::Ref result = py::Ref::steal(PyObject_CallMethod(builtins.get(), "exec", "(sO)", code.c_str(), globals.get()));
    if (!result) {
        PyErr_Print();
        return {};
    }
    return globals;
}

RaisedError take_raised() {
    RaisedError raised;
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return raised;
    PyErr_NormalizeException(&type, &value, &traceback);
    py::Ref t = py::Ref::steal(type), tb = py::Ref::steal(traceback);
    raised.value = py::Ref::steal(value);
    py::Ref name = py::Ref::steal(PyObject_GetAttrString(type, "__name__"));
    raised.type_name = py::utf8(name.get());
    py::Ref text = py::Ref::steal(PyObject_Str(raised.value.get()));
    raised.message = py::utf8(text.get());
    PyErr_Clear();
    return raised;
}

}  // namespace vistrel::test
