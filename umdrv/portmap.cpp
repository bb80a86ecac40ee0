// Port layout of the user-mode MIDI driver.
#include "portmap.h"

namespace umdrv {

namespace {

std::vector<PortEntry> Build(const std::string& layout, int cables, const char* kind) {
    std::vector<PortEntry> ports;
    int next = 0, foreign = 0;
    for (char c : layout) {
        if (c == 'V' && next < cables) {
            ports.push_back({true, 0, uint8_t(next),
                             "Varlo " + std::string(kind) + " " + std::to_string(next + 1)});
            ++next;
        } else if (c == 'x') {
            ++foreign;
            ports.push_back(
                {false, 0, 0, "Other " + std::string(kind) + " " + std::to_string(foreign)});
        }
    }
    return ports;
}

} // namespace

int PortMap::InputFor(uint16_t port, uint8_t cable) const {
    for (size_t i = 0; i < Inputs.size(); ++i)
        if (Inputs[i].Varlo && Inputs[i].Port == port && Inputs[i].Cable == cable)
            return int(i);
    return -1;
}

PortMap DefaultPortMap() {
    return PortMapFromLayout(std::string(kInCables, 'V'), std::string(kOutCables, 'V'));
}

PortMap PortMapFromLayout(const std::string& inputs, const std::string& outputs) {
    return PortMap{Build(inputs, kInCables, "In"), Build(outputs, kOutCables, "Out")};
}

} // namespace umdrv
