#include "platform/wayland/restore_tokens.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace vistrel::wayland {
namespace {

// The directory, made on the way when `create` is set; empty without a home to put it in.
std::string token_directory(bool create) {
    std::string base;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/') {
        base = state;
    } else if (const char* home = std::getenv("HOME"); home && *home == '/') {
        base = std::string(home) + "/.local/state";
        if (create) {
            mkdir((std::string(home) + "/.local").c_str(), 0700);
            mkdir(base.c_str(), 0700);
        }
    } else {
        return {};
    }
    const std::string directory = base + "/vistrel";
    if (create) {
        mkdir(base.c_str(), 0700);
        mkdir(directory.c_str(), 0700);
    }
    return directory;
}

// An output name as a file name: anything but letters, digits, '-' and '_' becomes '_'.
std::string token_file(const std::string& directory, const std::string& output) {
    std::string name;
    for (const char c : output) name += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') ? c : '_';
    return directory + "/portal-" + name + ".token";
}

}  // namespace

std::string load_restore_token(const std::string& output) {
    const std::string directory = token_directory(false);
    if (directory.empty()) return {};
    std::ifstream in(token_file(directory, output));
    std::string token;
    std::getline(in, token);
    return token;
}

void store_restore_token(const std::string& output, const std::string& token) {
    const std::string directory = token_directory(true);
    if (directory.empty()) return;
    const std::string path = token_file(directory, output);
    if (token.empty()) {
        std::remove(path.c_str());
        return;
    }
    // Written aside and renamed, so a reader never sees half a token.
    const std::string temporary = path + "." + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << token << '\n';
        if (!out.flush()) {
            std::remove(temporary.c_str());
            return;
        }
    }
    chmod(temporary.c_str(), 0600);
    if (std::rename(temporary.c_str(), path.c_str()) != 0) std::remove(temporary.c_str());
}

}  // namespace vistrel::wayland
