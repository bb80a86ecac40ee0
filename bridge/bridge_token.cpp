#include "bridge_token.h"

#include <cstdio>
#include <cstdlib>

namespace bridge {

std::string TokenFileBeside(const std::string& portFile) {
    return portFile + ".token";
}

std::string DefaultTokenFile(uint16_t port) {
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    if (!dir || !*dir)
        dir = std::getenv("HOME");
    if (!dir || !*dir)
        return "";
    return std::string(dir) + "/.varlo-bridge-" + std::to_string(port) + ".token";
}

std::string ClientTokenFile(uint16_t port) {
    const char* file = std::getenv("VARLO_BRIDGE_TOKEN_FILE");
    return file && *file ? std::string(file) : DefaultTokenFile(port);
}

bool ReadTokenFile(const std::string& file, std::string& token, std::string& error) {
    if (file.empty()) {
        error = "no bridge token file (set VARLO_BRIDGE_TOKEN_FILE)";
        return false;
    }
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (!f) {
        error = "cannot read the bridge token file " + file;
        return false;
    }
    char text[kTokenLength + 3] = {};
    size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r'))
        n--;
    bool hex = n == kTokenLength;
    for (size_t i = 0; hex && i < n; i++) {
        char c = text[i];
        hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    }
    if (!hex) {
        error = "the bridge token file " + file + " holds no token";
        return false;
    }
    token.assign(text, n);
    return true;
}

bool TokenMatches(const std::string& expected, const uint8_t* presented, size_t length) {
    if (expected.size() != kTokenLength || length != kTokenLength)
        return false;
    unsigned difference = 0;
    for (size_t i = 0; i < kTokenLength; i++)
        difference |= unsigned(uint8_t(expected[i]) ^ presented[i]);
    return difference == 0;
}

} // namespace bridge
