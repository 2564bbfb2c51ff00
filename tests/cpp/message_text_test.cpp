// system_message_text: the COM error-information branch and the system-text fallback.
#include "platform/os.h"
#include "platform/sim/error_info.h"
#include "tests/cpp/sim_test.h"
#include "tests/cpp/under_wine.h"

namespace vistrel {
namespace {

std::string text_with(std::optional<std::u16string> description, std::optional<std::u16string> restricted,
                      HRESULT code = E_INVALIDARG) {
    auto info = sim::make_error_info(description, restricted);
    return os::system_message_text(code, info.get());
}

// Every string and interface the lookup touched is released again.
using MessageText = test::SimTest;

// Windows' English text, or Wine's where the tests run under Wine (it has other texts,
// and none for some codes).
std::string system_text(const char* windows, const char* wine) { return test::under_wine() ? wine : windows; }

TEST_F(MessageText, SystemTextWithoutErrorInformation) {
    EXPECT_EQ(os::system_message_text(E_INVALIDARG, nullptr),
              system_text("The parameter is incorrect.", "Invalid parameter."));
    EXPECT_EQ(os::system_message_text(E_POINTER, nullptr), system_text("Invalid pointer", ""));
    EXPECT_EQ(os::system_message_text(S_OK, nullptr), system_text("The operation completed successfully.", "Success."));
    EXPECT_EQ(os::system_message_text(static_cast<HRESULT>(0x8ABCDEF0u), nullptr), "");
    // Inner line breaks stay; only the trailing ones go.
    std::string reset = os::system_message_text(DXGI_ERROR_DEVICE_RESET, nullptr);
    if (test::under_wine()) {
        EXPECT_EQ(reset, "");
    } else {
        EXPECT_NE(reset.find("commands.\r\nThe calling"), std::string::npos);
        EXPECT_EQ(reset.back(), '.');
    }
}

TEST_F(MessageText, DescriptionIsPreferredAndStripped) {
    EXPECT_EQ(text_with(u"Device lost.\r\n\t \v\f", std::nullopt), "Device lost.");
    EXPECT_EQ(text_with(u"  leading kept", std::nullopt), "  leading kept");
    EXPECT_EQ(text_with(u"caf\u00e9 \U0001F600", std::nullopt), "caf\xc3\xa9 \xf0\x9f\x98\x80");
}

TEST_F(MessageText, RestrictedDescriptionComesFirst) {
    EXPECT_EQ(text_with(u"plain", u"restricted"), "restricted");
    EXPECT_EQ(text_with(u"plain", u""), "plain");
    EXPECT_EQ(text_with(std::nullopt, u"only restricted\n"), "only restricted");
}

TEST_F(MessageText, AbsentDescriptionGivesEmptyText) {
    EXPECT_EQ(text_with(std::nullopt, std::nullopt), "");
    EXPECT_EQ(text_with(u"\r\n", std::nullopt), "");
}

TEST_F(MessageText, UnpairedSurrogateFallsBackToSystemText) {
    std::u16string broken = u"bad ";
    broken.push_back(static_cast<char16_t>(0xD800));
    EXPECT_EQ(text_with(broken, std::nullopt), system_text("The parameter is incorrect.", "Invalid parameter."));
    EXPECT_EQ(text_with(broken, std::nullopt, static_cast<HRESULT>(0x8ABCDEF0u)), "");
}

TEST_F(MessageText, FailedCallLeavesItsErrorInformation) {
    sim::Fault fault;
    fault.hresult = DXGI_ERROR_UNSUPPORTED;
    fault.description = u"No desktop here.\r\n";
    fail("CreateDXGIFactory1", fault);
    void* factory = nullptr;
    EXPECT_EQ(CreateDXGIFactory1(iid_of<IDXGIFactory1>(), &factory), DXGI_ERROR_UNSUPPORTED);
    EXPECT_EQ(factory, nullptr);
    ComPtr<IErrorInfo> info = os::take_error_info();
    ASSERT_TRUE(info);
    EXPECT_EQ(os::system_message_text(DXGI_ERROR_UNSUPPORTED, info.get()), "No desktop here.");
    // Taken means cleared.
    EXPECT_FALSE(os::take_error_info());
    info.reset();
    sim::reset();
}

}  // namespace
}  // namespace vistrel
