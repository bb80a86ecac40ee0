// Port layout of the user-mode MIDI driver.
#include "portmap.h"

namespace umdrv {

namespace {

void Build(const std::string& layout, int cables, const char* kind, uint16_t port,
           std::vector<PortEntry>& ports) {
    int next = 0, foreign = 0;
    std::string prefix = port ? "Varlo " + std::to_string(port + 1) + " " : "Varlo ";
    for (char c : layout) {
        if (c == 'V' && next < cables) {
            ports.push_back(
                {true, port, uint8_t(next), prefix + kind + " " + std::to_string(next + 1)});
            ++next;
        } else if (c == 'x') {
            ++foreign;
            ports.push_back(
                {false, 0, 0, "Other " + std::string(kind) + " " + std::to_string(foreign)});
        }
    }
}

} // namespace

int PortMap::InputFor(uint16_t port, uint8_t cable) const {
    for (size_t i = 0; i < Inputs.size(); ++i)
        if (Inputs[i].Varlo && Inputs[i].Port == port && Inputs[i].Cable == cable)
            return int(i);
    return -1;
}

PortMap DefaultPortMap(int interfaces) {
    PortMap map;
    for (uint16_t port = 0; port < uint16_t(interfaces < 2 ? 1 : 2); ++port) {
        Build(std::string(kInCables, 'V'), kInCables, "In", port, map.Inputs);
        Build(std::string(kOutCables, 'V'), kOutCables, "Out", port, map.Outputs);
    }
    return map;
}

int InterfacesFromCaps(const uint8_t* caps, uint32_t size) {
    if (size < 16)
        return 1;
    uint32_t count = uint32_t(caps[12]) | uint32_t(caps[13]) << 8 | uint32_t(caps[14]) << 16 |
                     uint32_t(caps[15]) << 24;
    return count >= 2 ? 2 : 1;
}

PortMap PortMapFromLayout(const std::string& inputs, const std::string& outputs) {
    PortMap map;
    Build(inputs, kInCables, "In", 0, map.Inputs);
    Build(outputs, kOutCables, "Out", 0, map.Outputs);
    return map;
}

} // namespace umdrv
