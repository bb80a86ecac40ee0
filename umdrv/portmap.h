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

// The standard layout for `interfaces` interfaces (1 or 2; the driver serves at most two), in
// interface order: port k carries cable k of interface 0 for its three input and five output
// cables, the second interface's ports follow ("Varlo 2 In 1", ...). Cable 0 is the timecode
// unit's, so the first ports reach the first interface's.
PortMap DefaultPortMap(int interfaces = 1);

// The number of interfaces a capabilities record of `size` bytes reports (its Count), as
// DefaultPortMap takes it: 1 when the record is short or reports none, at most 2.
int InterfacesFromCaps(const uint8_t* caps, uint32_t size);

// A layout from two strings, one letter per port in index order: 'V' is the interface's next
// cable, 'x' a stand-in port of another maker. Other letters are ignored; more 'V's than the
// interface has cables are ignored as well.
PortMap PortMapFromLayout(const std::string& inputs, const std::string& outputs);

} // namespace umdrv
