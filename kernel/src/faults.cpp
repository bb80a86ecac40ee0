// Caller buffers that fault, and what a guarded copy from or to a caller's buffer may touch.
#include "ks_internal.h"
#include "ks/system.h"

#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace ks {

namespace {

struct Range {
    uintptr_t begin, end;
};
struct FaultRanges {
    std::mutex lock;
    std::vector<Range> ranges;
};
FaultRanges& TheRanges() {
    static FaultRanges* ranges = new FaultRanges;
    return *ranges;
}

size_t PageSize() {
    return (size_t)sysconf(_SC_PAGESIZE);
}

} // namespace

FaultingBuffer::FaultingBuffer(size_t size, size_t readable) : size_(size) {
    if (readable > size)
        readable = size;
    size_t page = PageSize();
    size_t readablePages = (readable + page - 1) / page;
    size_t faultingPages = (size - readable + page - 1) / page + 1;
    mappingSize_ = (readablePages + faultingPages) * page;
    mapping_ =
        mmap(nullptr, mappingSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping_ == MAP_FAILED)
        Fail("FaultingBuffer: mmap failed");
    uint8_t* guard = (uint8_t*)mapping_ + readablePages * page;
    mprotect(guard, faultingPages * page, PROT_NONE);
    data_ = guard - readable;
    std::lock_guard lock(TheRanges().lock);
    TheRanges().ranges.push_back({(uintptr_t)guard, (uintptr_t)guard + faultingPages * page});
}

FaultingBuffer::~FaultingBuffer() {
    {
        std::lock_guard lock(TheRanges().lock);
        auto& ranges = TheRanges().ranges;
        uintptr_t first = (uintptr_t)mapping_, last = first + mappingSize_;
        std::erase_if(ranges, [&](const Range& r) { return r.begin >= first && r.end <= last; });
    }
    munmap(mapping_, mappingSize_);
}

bool AddressFaults(const void* address, size_t length) {
    uintptr_t begin = (uintptr_t)address;
    if (length == 0)
        return false;
    if (address == nullptr || begin + length < begin)
        return true;
    std::lock_guard lock(TheRanges().lock);
    for (auto& range : TheRanges().ranges)
        if (begin < range.end && begin + length > range.begin)
            return true;
    return false;
}

bool ProbeUserRange(const void* address, size_t length) {
    uintptr_t begin = (uintptr_t)address;
    if (length == 0)
        return true;
    return begin + length >= begin && begin + length <= kUserProbeAddress &&
           !InPool(address, length);
}

bool CallerRangeAccessible(const void* address, size_t length) {
    if (length == 0)
        return true;
    // As ProbeForRead/ProbeForWrite would raise for a user-mode caller's range outside user space.
    if (ExGetPreviousMode() != KernelMode && !ProbeUserRange(address, length))
        return false;
    return !AddressFaults(address, length);
}

} // namespace ks
