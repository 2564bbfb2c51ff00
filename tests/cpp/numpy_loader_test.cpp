// The NumPy table loader: every broken NumPy is an internal fault, none is cached,
// and a working NumPy afterwards is loaded and used.
#include <gtest/gtest.h>

#include "src/errors.h"
#include "src/py/numpy_api.h"
#include "tests/cpp/python_env.h"

namespace vistrel {
namespace {

// Replaces numpy in sys.modules with fakes: `version` as numpy.__version__, a
// NumpyVersion reporting `major`, and `array_api` as _ARRAY_API of both core modules.
void install_fake_numpy(const std::string& version, const std::string& major, const std::string& array_api) {
    ASSERT_TRUE(
        test::run_python("import sys, types\n"
                         "np = types.ModuleType('numpy'); np.__version__ = " +
                         version +
                         "\n"
                         "lib = types.ModuleType('numpy.lib')\n"
                         "class NumpyVersion:\n"
                         "    def __init__(self, v):\n"
                         "        if v == 'garbage': raise ValueError('Not a valid numpy version string')\n"
                         "        self.major = " +
                         major +
                         "\n"
                         "lib.NumpyVersion = NumpyVersion\n"
                         "sys.modules['numpy'] = np; sys.modules['numpy.lib'] = lib; np.lib = lib\n"
                         "for core in ('numpy._core', 'numpy.core'):\n"
                         "    m = types.ModuleType(core + '.multiarray'); m._ARRAY_API = " +
                         array_api +
                         "\n"
                         "    sys.modules[core] = types.ModuleType(core); sys.modules[core + '.multiarray'] = m\n"));
}

void forget_numpy() {
    ASSERT_TRUE(test::run_python(
        "import sys\n"
        "for name in [n for n in sys.modules if n == 'numpy' or n.startswith('numpy.')]: del sys.modules[name]\n"));
}

std::string load_fault() {
    try {
        py::numpy_api();
    } catch (const InternalFault& fault) {
        return fault.what();
    }
    return "loaded";
}

TEST(NumpyLoader, FailuresAreFaultsAndNotCached) {
    const std::string prefix = "Failed to access NumPy array API capsule";

    ASSERT_TRUE(test::run_python("import sys; sys.modules['numpy'] = None"));
    std::string missing = load_fault();
    EXPECT_EQ(missing.rfind(prefix, 0), 0u) << missing;
    EXPECT_NE(missing.find("ModuleNotFoundError"), std::string::npos) << missing;

    install_fake_numpy("'2.1.0'", "2", "42");
    std::string not_capsule = load_fault();
    EXPECT_EQ(not_capsule.rfind(prefix, 0), 0u) << not_capsule;

    install_fake_numpy("'garbage'", "2", "42");
    std::string unparsable = load_fault();
    EXPECT_NE(unparsable.find("Not a valid numpy version string"), std::string::npos) << unparsable;

    install_fake_numpy("'300.0.0'", "300", "42");
    EXPECT_EQ(load_fault().rfind(prefix, 0), 0u);

    install_fake_numpy("'1.26.0'", "'one'", "42");
    EXPECT_EQ(load_fault().rfind(prefix, 0), 0u);

    // A capsule of the wrong name (NumPy's has none) is no table either.
    install_fake_numpy("'2.1.0'", "2", "__import__('datetime').datetime_CAPI");
    EXPECT_EQ(load_fault().rfind(prefix, 0), 0u);

    // The real NumPy, once importable, loads and makes arrays.
    forget_numpy();
    ASSERT_EQ(load_fault(), "loaded");
    std::uint8_t* data = nullptr;
    py::Ref array = py::new_uint8_array(2, 3, 4, &data);
    ASSERT_TRUE(array);
    ASSERT_NE(data, nullptr);
    for (int i = 0; i < 24; ++i) data[i] = static_cast<std::uint8_t>(i);
    py::Ref shape = py::Ref::steal(PyObject_GetAttrString(array.get(), "shape"));
    py::Ref expected = py::Ref::steal(Py_BuildValue("(iii)", 2, 3, 4));
    EXPECT_EQ(PyObject_RichCompareBool(shape.get(), expected.get(), Py_EQ), 1);
    py::Ref total = py::Ref::steal(PyObject_CallMethod(array.get(), "sum", nullptr));
    EXPECT_EQ(PyLong_AsLong(total.get()), 276);
    py::Ref owns = py::Ref::steal(PyObject_GetAttrString(array.get(), "base"));
    EXPECT_EQ(owns.get(), Py_None);
}

}  // namespace
}  // namespace vistrel
