// Pool with tags: every block is known with its tag and size, so leaks are reported per tag and
// frees with another tag, or of addresses that are no block, fail loudly. Each block has its
// exact size between guard bytes; a write past either end is reported at free or unload.
#include "ks_internal.h"
#include "ks/system.h"

#include <cstdlib>
#include <map>

namespace ks {
namespace {

struct Block {
    ULONG tag;
    size_t size;
};

constexpr size_t kGuard = 16; // before the block; after it, at least this much
constexpr uint8_t kGuardByte = 0xFD;

size_t TailGuard(size_t size) {
    return ((size + 15) & ~(size_t)15) - size + kGuard;
}

// Fails loudly when a guard byte of the block changed. Pool lock held.
void CheckGuards(void* p, const Block& block, const char* when) {
    const uint8_t* head = (const uint8_t*)p - kGuard;
    const uint8_t* tail = (const uint8_t*)p + block.size;
    for (size_t i = 0; i < kGuard; i++)
        if (head[i] != kGuardByte)
            Fail("pool block %p of tag '%s' (%zu bytes) was written before its start (%zu bytes "
                 "before), found %s",
                 p, TagText(block.tag).c_str(), block.size, kGuard - i, when);
    for (size_t i = 0, n = TailGuard(block.size); i < n; i++)
        if (tail[i] != kGuardByte)
            Fail("pool block %p of tag '%s' (%zu bytes) was written past its end (at offset "
                 "%zu), found %s",
                 p, TagText(block.tag).c_str(), block.size, block.size + i, when);
}

struct Pool {
    std::mutex lock;
    std::map<void*, Block> blocks; // ordered: address ranges are looked up
    ULONG failTag = 0;
    int failSkip = 0;
    int failCount = 0;
};

Pool& ThePool() {
    static Pool* pool = new Pool;
    return *pool;
}

bool ShouldFail(Pool& pool, ULONG tag) {
    if (pool.failCount <= 0 || (pool.failTag != 0 && pool.failTag != tag))
        return false;
    if (pool.failSkip > 0) {
        pool.failSkip--;
        return false;
    }
    pool.failCount--;
    return true;
}

} // namespace

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; i++) {
        char c = (char)(tag >> (8 * i));
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

size_t PoolBlocks(ULONG tag) {
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    size_t n = 0;
    for (auto& [address, block] : pool.blocks)
        n += block.tag == tag;
    return n;
}

size_t PoolBytes(ULONG tag) {
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    size_t n = 0;
    for (auto& [address, block] : pool.blocks)
        n += block.tag == tag ? block.size : 0;
    return n;
}

std::vector<PoolTagUsage> PoolUsage() {
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    std::map<ULONG, PoolTagUsage> byTag;
    for (auto& [address, block] : pool.blocks) {
        PoolTagUsage& usage = byTag[block.tag];
        usage.tag = block.tag;
        usage.blocks++;
        usage.bytes += block.size;
    }
    std::vector<PoolTagUsage> result;
    for (auto& [tag, usage] : byTag)
        result.push_back(usage);
    return result;
}

void CheckPoolGuards() {
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    for (auto& [address, block] : pool.blocks)
        CheckGuards(address, block, "at unload");
}

bool InPool(const void* address, size_t length) {
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    uintptr_t begin = (uintptr_t)address, end = begin + length;
    auto it = pool.blocks.upper_bound((void*)(end + kGuard));
    while (it != pool.blocks.begin()) {
        --it;
        uintptr_t blockBegin = (uintptr_t)it->first - kGuard;
        uintptr_t blockEnd = (uintptr_t)it->first + it->second.size + TailGuard(it->second.size);
        if (blockEnd <= begin)
            return false;
        if (blockBegin < end)
            return true;
    }
    return false;
}

void FailPoolAllocations(ULONG tag, int skip, int count) {
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    pool.failTag = tag;
    pool.failSkip = skip;
    pool.failCount = count;
}

} // namespace ks

using ks::ThePool;

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    bool paged = (PoolType & 1) != 0;
    KIRQL irql = ks::CurrentIrql();
    if (paged && irql > APC_LEVEL)
        ks::Fail("paged pool allocated at IRQL %d (tag '%s')", irql, ks::TagText(Tag).c_str());
    if (irql > DISPATCH_LEVEL)
        ks::Fail("pool allocated at IRQL %d (tag '%s')", irql, ks::TagText(Tag).c_str());
    ks::Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    if (ks::ShouldFail(pool, Tag))
        return NULL;
    // 16-byte alignment, as MEMORY_ALLOCATION_ALIGNMENT on x64; never zeroed.
    size_t size = NumberOfBytes;
    size_t total = ks::kGuard + size + ks::TailGuard(size);
    uint8_t* base = (uint8_t*)aligned_alloc(16, total);
    if (base == NULL)
        return NULL;
    memset(base, ks::kGuardByte, total);
    uint8_t* p = base + ks::kGuard;
    memset(p, 0xA5, size);
    pool.blocks[p] = ks::Block{Tag, NumberOfBytes};
    return p;
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x656E6F4E); // "None"
}

static void FreeBlock(PVOID P, bool checkTag, ULONG Tag) {
    if (ks::CurrentIrql() > DISPATCH_LEVEL)
        ks::Fail("pool freed at IRQL %d", ks::CurrentIrql());
    ks::Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    auto it = pool.blocks.find(P);
    if (it == pool.blocks.end())
        ks::Fail("pool free of %p, which is no allocated pool block (freed twice?)", P);
    if (checkTag && it->second.tag != Tag)
        ks::Fail("pool block %p of tag '%s' freed with tag '%s'", P,
                 ks::TagText(it->second.tag).c_str(), ks::TagText(Tag).c_str());
    ks::CheckGuards(P, it->second, "at free");
    pool.blocks.erase(it);
    free((uint8_t*)P - ks::kGuard);
}

void ExFreePoolWithTag(PVOID P, ULONG Tag) {
    FreeBlock(P, true, Tag);
}

void ExFreePool(PVOID P) {
    FreeBlock(P, false, 0);
}

} // extern "C"
