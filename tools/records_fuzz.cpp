// Fuzzes the client's record decoding (read buffers, capabilities) and play-buffer building.
#include "tools/device_records.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tools::DescribeBuffer(data, size);
    tools::DescribeCaps(std::vector<uint8_t>(data, data + size));
    std::vector<std::vector<uint8_t>> buffers;
    std::string error;
    if (size > 0 &&
        tools::BuildPlayBuffers(data[0] & 1, data[0] >> 1,
                                std::vector<uint8_t>(data + 1, data + size), buffers, error)) {
        for (const auto& b : buffers)
            tools::DescribeBuffer(b.data(), b.size());
    }
    return 0;
}
