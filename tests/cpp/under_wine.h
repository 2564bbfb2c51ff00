// Whether the tests run under Wine, whose system message texts are not Windows'. Only
// text expectations may depend on it.
#pragma once

namespace vistrel::test {

#ifdef _WIN32
bool under_wine();
#else
inline bool under_wine() { return false; }
#endif

}  // namespace vistrel::test
