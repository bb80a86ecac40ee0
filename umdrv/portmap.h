// Which multimedia ports the user-mode MIDI driver presents and which cable of the interface each
// one carries (see README.md). Pure code: no <windows.h>.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace umdrv {

inline constexpr uint16_t kVarloMid = 219;
inline constexpr uint16_t kVarloPid = 3;
// Identifiers of the stand-in ports of other makers (test-only layouts).
inline constexpr uint16_t kForeignMid = 1;
inline constexpr uint16_t kForeignPid = 102;

inline constexpr int kInCables = 3;
inline constexpr int kOutCables = 5;

struct PortEntry {
    bool Varlo;    // false: a stand-in port of another maker, with no traffic
    uint16_t Port; // interface (serial port) index, 0 or 1
    uint8_t Cable; // cable on that interface
    std::string Name;
};

struct PortMap {
    std::vector<PortEntry> Inputs;
    std::vector<PortEntry> Outputs;

    // Index of the input port carrying (port, cable), or -1.
    int InputFor(uint16_t port, uint8_t cable) const;
};

// The standard layout: port k carries cable k of interface 0, for the interface's three input and
// five output cables. Cable 0 is the timecode unit's, so the first ports reach it.
PortMap DefaultPortMap();

// A layout from two strings, one letter per port in index order: 'V' is the interface's next
// cable, 'x' a stand-in port of another maker. Other letters are ignored; more 'V's than the
// interface has cables are ignored as well.
PortMap PortMapFromLayout(const std::string& inputs, const std::string& outputs);

} // namespace umdrv
