#include <windows.h>

#include "tests/cpp/under_wine.h"

namespace vistrel::test {

// Wine's ntdll exports its version; Windows' does not.
bool under_wine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace vistrel::test
