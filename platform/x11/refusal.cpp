#include "platform/x11/refusal.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>

namespace vistrel::x11 {
namespace {

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// The display number of a local display (":N", ":N.S", "unix:N"); nothing for others.
std::optional<std::string> local_display_number(const std::string& display) {
    const std::size_t colon = display.rfind(':');
    if (colon == std::string::npos) return std::nullopt;
    const std::string host = display.substr(0, colon);
    if (!host.empty() && host != "unix") return std::nullopt;
    std::string number = display.substr(colon + 1);
    number = number.substr(0, number.find('.'));
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    return number;
}

// The server's socket, in the abstract namespace or on the file system, as libxcb tries them.
int connect_local(const std::string& number) {
    const std::string path = "/tmp/.X11-unix/X" + number;
    for (bool abstract : {true, false}) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::size_t offset = abstract ? 1 : 0;
        std::memcpy(address.sun_path + offset, path.data(), path.size());
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0) return fd;
        close(fd);
    }
    return -1;
}

struct Cookie {
    std::string name, data;
};

std::string authority_path() {
    if (const char* file = std::getenv("XAUTHORITY")) return file;
    const char* home = std::getenv("HOME");
    return home ? std::string(home) + "/.Xauthority" : std::string();
}

// The first MIT-MAGIC-COOKIE-1 entry of the authority file for this host (or any host)
// and display, as libxcb picks it for a local connection.
std::optional<Cookie> find_cookie(const std::string& file, const std::string& number) {
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::size_t at = 0;
    auto field = [&](std::string& out) {
        if (at + 2 > bytes.size()) return false;
        const std::size_t length =
            (static_cast<unsigned char>(bytes[at]) << 8) | static_cast<unsigned char>(bytes[at + 1]);
        if (at + 2 + length > bytes.size()) return false;
        out = bytes.substr(at + 2, length);
        at += 2 + length;
        return true;
    };
    while (at + 2 <= bytes.size()) {
        const unsigned family =
            (static_cast<unsigned char>(bytes[at]) << 8) | static_cast<unsigned char>(bytes[at + 1]);
        at += 2;
        std::string address, display, name, data;
        if (!field(address) || !field(display) || !field(name) || !field(data)) break;
        const bool this_host = family == 0xFFFF || (family == 256 && address == host);
        if (this_host && (display.empty() || display == number) && name == "MIT-MAGIC-COOKIE-1")
            return Cookie{name, data};
    }
    return std::nullopt;
}

void append_padded(std::string& out, const std::string& field) {
    out += field;
    out.append((4 - field.size() % 4) % 4, '\0');
}

// Reads exactly `size` bytes within a second; false when the server does not send them.
bool read_all(int fd, char* into, std::size_t size) {
    while (size > 0) {
        pollfd descriptor{fd, POLLIN, 0};
        if (poll(&descriptor, 1, 1000) <= 0) return false;
        const ssize_t got = read(fd, into, size);
        if (got <= 0) return false;
        into += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace

std::string refusal_reason(const std::string& display) {
    const std::optional<std::string> number = local_display_number(display);
    if (!number) return {};
    Socket server(connect_local(*number));
    if (server.get() < 0) return "no X server is listening on display " + display;

    const std::string file = authority_path();
    const std::optional<Cookie> cookie = find_cookie(file, *number);
    std::string setup = {'l', 0, 11, 0, 0, 0};  // little-endian, protocol 11.0
    const Cookie sent = cookie.value_or(Cookie{});
    for (std::size_t length : {sent.name.size(), sent.data.size()}) {
        setup += static_cast<char>(length & 0xFF);
        setup += static_cast<char>(length >> 8);
    }
    setup.append(2, '\0');
    append_padded(setup, sent.name);
    append_padded(setup, sent.data);
    if (write(server.get(), setup.data(), setup.size()) != static_cast<ssize_t>(setup.size())) return {};

    char head[8];
    if (!read_all(server.get(), head, sizeof head) || head[0] != 0) return {};  // not a refusal
    const std::size_t reason_length = static_cast<unsigned char>(head[1]);
    const std::size_t body = 4 * ((static_cast<unsigned char>(head[7]) << 8) | static_cast<unsigned char>(head[6]));
    std::string reason(body, '\0');
    if (reason_length > body || !read_all(server.get(), reason.data(), body)) return {};
    reason.resize(reason_length);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();

    std::string origin;
    if (file.empty())
        origin = "no Xauthority file: neither XAUTHORITY nor HOME is set";
    else if (!std::ifstream(file))
        origin = "the Xauthority file " + file + " cannot be read";
    else if (!cookie)
        origin = file + " holds no cookie for display " + display;
    else
        origin = "the cookie sent came from " + file;
    return "the server refused the connection: " + reason + " (" + origin + ")";
}

}  // namespace vistrel::x11
