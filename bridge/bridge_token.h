// The bridge's access token: the device host makes a random token when it starts and writes it to
// a file only its user can read (mode 0600); a client proves it may use the device by sending the
// token in its Hello (bridge_frames.h). Pure C++ and stdio: built into the device host, its
// clients (tools/, tests) and the user-mode MIDI driver. Any thread.
//
// Where the file is: `<port file>.token` when the host was given a port file, else the default
// below; clients take VARLO_BRIDGE_TOKEN_FILE when it is set, else the default for their port.
#pragma once

#include <cstdint>
#include <string>

namespace bridge {

// Hex digits of a token (128 random bits).
inline constexpr uint32_t kTokenLength = 32;

// The token file of a host that was given `portFile`.
std::string TokenFileBeside(const std::string& portFile);

// The token file of a host on `port` that was given no port file: in $XDG_RUNTIME_DIR, or else
// $HOME, ".varlo-bridge-PORT.token"; "" when neither is set.
std::string DefaultTokenFile(uint16_t port);

// The file a client reads: VARLO_BRIDGE_TOKEN_FILE, else DefaultTokenFile(port).
std::string ClientTokenFile(uint16_t port);

// Reads a token (kTokenLength hex digits, optionally followed by a line end); false with a reason.
bool ReadTokenFile(const std::string& file, std::string& token, std::string& error);

// True when `presented` equals `expected` (both kTokenLength long); takes the same time wherever
// they differ.
bool TokenMatches(const std::string& expected, const uint8_t* presented, size_t length);

} // namespace bridge
