// BSTRs for providers without oleaut32: the length in bytes, then the text and a NUL;
// the pointer handed out is to the text. Each one counts as a live object.
#include <cstdint>
#include <cstring>
#include <new>

#include "platform/dxgi.h"
#include "platform/test_hooks.h"

namespace {

struct BstrHeader {
    std::uint32_t bytes;
};

BstrHeader* header_of(BSTR text) { return reinterpret_cast<BstrHeader*>(text) - 1; }

}  // namespace

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    std::size_t bytes = sizeof(BstrHeader) + (std::size_t{length} + 1) * sizeof(OLECHAR);
    void* memory = ::operator new(bytes, std::nothrow);
    if (!memory) return nullptr;
    auto* header = new (memory) BstrHeader{static_cast<std::uint32_t>(length * sizeof(OLECHAR))};
    auto* chars = reinterpret_cast<OLECHAR*>(header + 1);
    if (text) std::memcpy(chars, text, length * sizeof(OLECHAR));
    chars[length] = 0;
    vistrel::test_hooks::live_object(+1);
    return chars;
}

UINT SysStringLen(BSTR text) { return text ? header_of(text)->bytes / sizeof(OLECHAR) : 0; }

void SysFreeString(BSTR text) {
    if (!text) return;
    ::operator delete(header_of(text));
    vistrel::test_hooks::live_object(-1);
}
