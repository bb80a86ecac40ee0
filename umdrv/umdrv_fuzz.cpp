// Arbitrary read results through the buffer parser and the System Exclusive joiner: whatever comes
// in, a message handed on as whole starts with F0 and ends with F7.
#include "ddbuffer.h"

using namespace umdrv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SysExJoiner joiner(4096);
    std::vector<SysExJoiner::Message> out;
    // The input is a run of reads, each prefixed by one byte giving its size.
    for (size_t at = 0; at < size;) {
        uint32_t n = data[at++];
        n = uint32_t(std::min<size_t>(n + kHeaderSize, size - at));
        BufferView v;
        if (ParseBuffer(data + at, n, v))
            joiner.Feed(v.Type, v.Data, v.Length, out);
        at += n;
    }
    for (const auto& m : out)
        if (m.Whole && (m.Bytes.size() < 2 || m.Bytes.front() != 0xF0 || m.Bytes.back() != 0xF7))
            __builtin_trap();
    return 0;
}
