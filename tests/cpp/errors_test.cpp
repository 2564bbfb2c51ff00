// Failure values becoming Python exceptions: class, message and hresult attribute.
#include "src/errors.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/sim/error_info.h"
#include "platform/sim/machine.h"
#include "src/py/gil.h"
#include "tests/cpp/python_env.h"

namespace vistrel {
namespace {

using test::take_raised;

test::RaisedError raise_and_take(Failure failure) {
    EXPECT_EQ(raise_failure(std::move(failure)), nullptr);
    return take_raised();
}

std::uint64_t hresult_attribute(const py::Ref& value) {
    py::Ref attribute = py::Ref::steal(PyObject_GetAttrString(value.get(), "hresult"));
    EXPECT_TRUE(attribute);
    return PyLong_AsUnsignedLongLong(attribute.get());
}

TEST(FailureToException, FixedKindsRaiseTheirClassAndText) {
    struct Case {
        Failure failure;
        const char* type_name;
        const char* message;
    };
    Case cases[] = {
        {Failure::closed(), "RuntimeError", "Capturer is closed"},
        {Failure::iterator_active(), "RuntimeError", "Capturer is busy: a frames() iterator is active"},
        {Failure::deadline_expired(), "CaptureTimeout", "deadline expired"},
        {Failure::bad_value("region \"x\" caf\xc3\xa9 \xe2\x9c\x93"), "ValueError",
         "region \"x\" caf\xc3\xa9 \xe2\x9c\x93"},
        {Failure::described("D3D11CreateDevice returned no device"), "ValueError",
         "D3D11CreateDevice returned no device"},
    };
    for (Case& c : cases) {
        auto raised = raise_and_take(std::move(c.failure));
        EXPECT_EQ(raised.type_name, c.type_name);
        EXPECT_EQ(raised.message, c.message);
        EXPECT_EQ(PyObject_HasAttrString(raised.value.get(), "hresult"), 0) << c.type_name;
    }
}

TEST(FailureToException, HresultCodesChooseTheClass) {
    struct Case {
        std::uint32_t code;
        const char* type_name;
    };
    for (Case c :
         {Case{0x887A0005u, "DeviceError"}, Case{0x887A0007u, "DeviceError"}, Case{0x887A0026u, "AccessLost"},
          Case{0x887A0027u, "CaptureError"}, Case{0x80070057u, "CaptureError"}, Case{0x887A0006u, "CaptureError"}}) {
        auto raised = raise_and_take(Failure::hresult(static_cast<HRESULT>(c.code)));
        EXPECT_EQ(raised.type_name, c.type_name) << std::hex << c.code;
        EXPECT_EQ(hresult_attribute(raised.value), c.code);
        // Every subclass is caught as CaptureError.
        EXPECT_TRUE(PyObject_IsInstance(raised.value.get(), exception_class(ErrorClass::CaptureError)));
    }
}

TEST(FailureToException, MessageIsPrefixCodeAndStrippedSystemText) {
    auto lost = raise_and_take(Failure::hresult(DXGI_ERROR_ACCESS_LOST));
    EXPECT_EQ(hresult_attribute(lost.value), 2289696806u);
    EXPECT_EQ(lost.message.rfind("DXGI 0x887A0026: The desktop duplication interface is invalid.", 0), 0u)
        << lost.message;
    EXPECT_NE(lost.message.back(), '\n');

    auto null_object = raise_and_take(Failure::hresult(0));
    EXPECT_EQ(null_object.type_name, "CaptureError");
    EXPECT_EQ(null_object.message, "DXGI 0x00000000: The operation completed successfully.");
    EXPECT_EQ(hresult_attribute(null_object.value), 0u);

    auto bad_argument = raise_and_take(Failure::hresult(E_INVALIDARG));
    EXPECT_EQ(bad_argument.message, "DXGI 0x80070057: The parameter is incorrect.");

    // No system text: the message ends with the colon and the blank.
    auto unknown = raise_and_take(Failure::hresult(static_cast<HRESULT>(0x8ABCDEF0u)));
    EXPECT_EQ(unknown.message, "DXGI 0x8ABCDEF0: ");
    auto small = raise_and_take(Failure::hresult(static_cast<HRESULT>(0x0000002Au)));
    EXPECT_EQ(small.message, "DXGI 0x0000002A: ");
}

TEST(FailureToException, ErrorInformationDescribesTheFailure) {
    long live_before = sim::live_objects();
    {
        auto info = sim::make_error_info(u"The output was unplugged.\r\n", std::nullopt);
        auto raised = raise_and_take(Failure::hresult(DXGI_ERROR_ACCESS_LOST, std::move(info)));
        EXPECT_EQ(raised.type_name, "AccessLost");
        EXPECT_EQ(raised.message, "DXGI 0x887A0026: The output was unplugged.");
    }
    // The error information and every string it handed out are released.
    EXPECT_EQ(sim::live_objects(), live_before);
}

TEST(FailureToException, WorksFromAThreadWithoutTheLock) {
    std::optional<PendingError> pending;
    {
        py::ReleaseGil released;
        std::thread worker([&] { pending.emplace(failure_to_exception(Failure::hresult(DXGI_ERROR_DEVICE_RESET))); });
        worker.join();
    }
    pending->raise();
    auto raised = take_raised();
    EXPECT_EQ(raised.type_name, "DeviceError");
    EXPECT_EQ(hresult_attribute(raised.value), 0x887A0007u);
}

TEST(ExceptionClasses, HierarchyAndNames) {
    py::Ref ns = test::run_python("");
    PyObject* capture_error = exception_class(ErrorClass::CaptureError);
    ASSERT_NE(capture_error, nullptr);
    EXPECT_TRUE(PyObject_IsSubclass(capture_error, PyExc_Exception));
    for (ErrorClass cls :
         {ErrorClass::DeviceError, ErrorClass::DuplicationError, ErrorClass::AccessLost, ErrorClass::CaptureTimeout}) {
        EXPECT_TRUE(PyObject_IsSubclass(exception_class(cls), capture_error));
    }
    // Internal faults escape `except Exception`.
    PyObject* fault = exception_class(ErrorClass::InternalFault);
    EXPECT_TRUE(PyObject_IsSubclass(fault, PyExc_BaseException));
    EXPECT_FALSE(PyObject_IsSubclass(fault, PyExc_Exception));
    // Created once: the same object every time.
    EXPECT_EQ(exception_class(ErrorClass::AccessLost), exception_class(ErrorClass::AccessLost));
}

TEST(InternalFault, RaisedWithItsText) {
    raise_internal_fault("capture thread panicked");
    auto raised = take_raised();
    EXPECT_EQ(raised.type_name, "InternalFault");
    EXPECT_EQ(raised.message, "capture thread panicked");
}

}  // namespace
}  // namespace vistrel
