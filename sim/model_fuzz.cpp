// Fuzzes the interface model with arbitrary line bytes, commands and clock steps.
#include "sim/interface_model.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sim::InterfaceModel model;
    uint64_t now = 0;
    size_t i = 0;
    while (i < size) {
        uint8_t op = data[i++];
        size_t n = op & 0x1F;
        if (n > size - i)
            n = size - i;
        switch (op >> 5) {
            case 0:
            case 1:
            case 2:
                model.Receive(data + i, n);
                break;
            case 3:
                model.Command(std::string(reinterpret_cast<const char*>(data + i), n));
                break;
            case 4:
                now += uint64_t(n) * 7919;
                model.Advance(now);
                break;
            case 5: {
                uint8_t out[64];
                model.TakeOutput(out, sizeof out);
                break;
            }
            default:
                model.SendOnCable(n, data + i, n);
                break;
        }
        i += n;
    }
    model.Report();
    return 0;
}
