// Why a local X server refused a connection. libxcb reports only that connecting failed;
// the server's own reason comes from repeating the handshake with the cookie libxcb sends.
#pragma once

#include <string>

namespace vistrel::x11 {

// "no X server is listening on ...", or the server's refusal with where the cookie came
// from; empty when it cannot be told (a remote display, an unreadable answer).
std::string refusal_reason(const std::string& display);

}  // namespace vistrel::x11
