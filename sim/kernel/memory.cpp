// Heap blocks and driver objects.
//
// Every block carries a small header with its size, its allocation flags and a tag that tells
// heap blocks, objects and freed blocks apart, so that a wrong or repeated free is reported
// instead of corrupting the heap. Live blocks are counted for leak checks.

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/kernel.h"
#include "sim/kernel/sim_kernel.h"

namespace sim {
namespace {

constexpr uint32_t kHeapTag = 0x48454150u;    // live heap block
constexpr uint32_t kObjectTag = 0x4F424A54u;  // live object
constexpr uint32_t kFreedTag = 0x46524545u;   // released
// Fresh objects are filled with this, so a member the constructor forgot shows the same
// wrong value on every run instead of whatever the heap held.
constexpr unsigned char kFreshObjectFill = 0xCD;

struct alignas(std::max_align_t) Header {
    uint32_t tag;
    uint32_t flags;
    size_t bytes;
};

std::atomic<uint64_t> gLiveBlocks{0};
std::atomic<uint64_t> gLiveBytes{0};

Header* HeaderOf(void* block) {
    return static_cast<Header*>(block) - 1;
}
void* BlockOf(Header* h) {
    return h + 1;
}

// Allocation without injection; null when the host is out of memory.
Header* RawAllocate(uint32_t tag, uint32_t flags, size_t bytes) {
    if (bytes > SIZE_MAX - sizeof(Header)) return nullptr;
    auto* h = static_cast<Header*>(std::malloc(sizeof(Header) + bytes));
    if (h == nullptr) return nullptr;
    *h = Header{tag, flags, bytes};
    gLiveBlocks.fetch_add(1, std::memory_order_relaxed);
    gLiveBytes.fetch_add(bytes, std::memory_order_relaxed);
    return h;
}

void RawRelease(Header* h) {
    gLiveBlocks.fetch_sub(1, std::memory_order_relaxed);
    gLiveBytes.fetch_sub(h->bytes, std::memory_order_relaxed);
    h->tag = kFreedTag;
    std::free(h);
}

// The header of a live block with the expected tag, or null after reporting.
Header* Checked(void* block, uint32_t tag, const char* what) {
    Header* h = HeaderOf(block);
    if (h->tag == tag) return h;
    std::fprintf(stderr, "%s: %p is not a live %s\n", what, block,
                 tag == kHeapTag ? "heap block" : "object");
    return nullptr;
}

bool InjectedFailure() {
    if (!ShouldFail(FailKind::Allocation)) return false;
    plat::SetLastErrorCode(plat::kErrorNotEnoughMemory);
    return true;
}

}  // namespace

AllocationStats LiveAllocations() {
    return {gLiveBlocks.load(std::memory_order_relaxed),
            gLiveBytes.load(std::memory_order_relaxed)};
}

}  // namespace sim

namespace plat {

using sim::Header;

void* MemAlloc(uint32_t flags, size_t bytes) {
    if (sim::InjectedFailure()) return nullptr;
    Header* h = sim::RawAllocate(sim::kHeapTag, flags, bytes);
    if (h == nullptr) {
        SetLastErrorCode(kErrorNotEnoughMemory);
        return nullptr;
    }
    if ((flags & kMemZeroInit) != 0) std::memset(sim::BlockOf(h), 0, bytes);
    return sim::BlockOf(h);
}

void* MemFree(void* block) {
    if (block == nullptr) return nullptr;
    Header* h = sim::Checked(block, sim::kHeapTag, "MemFree");
    if (h == nullptr) return block;
    sim::RawRelease(h);
    return nullptr;
}

void* MemRealloc(void* block, size_t bytes, uint32_t flags) {
    if (block == nullptr) {
        SetLastErrorCode(kErrorInvalidParameter);
        return nullptr;
    }
    Header* h = sim::Checked(block, sim::kHeapTag, "MemRealloc");
    if (h == nullptr) {
        SetLastErrorCode(kErrorInvalidParameter);
        return nullptr;
    }
    if (sim::InjectedFailure()) return nullptr;
    const bool zeroGrowth = ((h->flags | flags) & kMemZeroInit) != 0;
    if (bytes <= h->bytes) {
        // Shrinks in place; the tail is forgotten, and zeroed again should the block regrow.
        sim::gLiveBytes.fetch_sub(h->bytes - bytes, std::memory_order_relaxed);
        h->bytes = bytes;
        return block;
    }
    if ((flags & kMemMovable) == 0) {
        // Growing in place is never possible here: the block would have to move.
        SetLastErrorCode(kErrorNotEnoughMemory);
        return nullptr;
    }
    Header* grown = sim::RawAllocate(sim::kHeapTag, h->flags | (flags & kMemZeroInit), bytes);
    if (grown == nullptr) {
        SetLastErrorCode(kErrorNotEnoughMemory);
        return nullptr;
    }
    auto* to = static_cast<unsigned char*>(sim::BlockOf(grown));
    std::memcpy(to, block, h->bytes);
    if (zeroGrowth) std::memset(to + h->bytes, 0, bytes - h->bytes);
    sim::RawRelease(h);
    return to;
}

size_t MemSize(void* block) {
    if (block == nullptr) return 0;
    Header* h = sim::Checked(block, sim::kHeapTag, "MemSize");
    return h == nullptr ? 0 : h->bytes;
}

void* ObjectAlloc(size_t bytes) {
    if (sim::InjectedFailure()) return nullptr;
    Header* h = sim::RawAllocate(sim::kObjectTag, 0, bytes);
    if (h == nullptr) return nullptr;
    std::memset(sim::BlockOf(h), sim::kFreshObjectFill, bytes);
    return sim::BlockOf(h);
}

void ObjectFree(void* object) {
    if (object == nullptr) return;
    Header* h = sim::Checked(object, sim::kObjectTag, "ObjectFree");
    if (h != nullptr) sim::RawRelease(h);
}

void MemMove(void* dst, const void* src, size_t bytes) {
    std::memmove(dst, src, bytes);
}

}  // namespace plat
