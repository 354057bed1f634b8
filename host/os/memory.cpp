// memory.cpp - the system memory pool: a first-fit allocator over the upper
// range of the modelled DRAM, so exhaustion and the largest free block behave
// as on the board. Block bookkeeping is kept outside DRAM.
#include "host/board/board.h"
#include "host/os/hostos.h"
#include "osapi.h"

#include <cstring>
#include <iterator>
#include <map>
#include <mutex>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define POOL_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define POOL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define POOL_POISON(p, n) ((void)(p), (void)(n))
#define POOL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace host {
namespace {

constexpr uint32_t kPoolStart = 0x04000000u;
constexpr uint32_t kPoolEnd = Dram::kSize;
constexpr uint32_t kAlign = 16;
constexpr uint32_t kGuard = 16; // unused bytes after each block (checked by ASan builds)

class MemoryPool {
public:
    void reset()
    {
        std::lock_guard<std::mutex> g(m_);
        free_.clear();
        used_.clear();
        free_[kPoolStart] = kPoolEnd - kPoolStart;
        POOL_POISON(board().dram().base() + kPoolStart, kPoolEnd - kPoolStart);
    }

    void* alloc(size_t n)
    {
        if (n > kPoolEnd - kPoolStart) return nullptr;
        uint32_t want = uint32_t((n + kGuard + kAlign - 1) / kAlign * kAlign);
        std::lock_guard<std::mutex> g(m_);
        for (auto it = free_.begin(); it != free_.end(); ++it) {
            if (it->second < want) continue;
            uint32_t addr = it->first;
            uint32_t left = it->second - want;
            free_.erase(it);
            if (left) free_[addr + want] = left;
            used_[addr] = want;
            uint8_t* p = board().dram().base() + addr;
            POOL_UNPOISON(p, n ? n : 1);
            return p;
        }
        return nullptr;
    }

    // false: p is not a block of this pool.
    bool release(void* p)
    {
        std::lock_guard<std::mutex> g(m_);
        auto it = used_.find(addrOf(p));
        if (it == used_.end()) return false;
        uint32_t addr = it->first, size = it->second;
        used_.erase(it);
        POOL_POISON(board().dram().base() + addr, size);
        auto next = free_.find(addr + size);
        if (next != free_.end()) {
            size += next->second;
            free_.erase(next);
        }
        auto after = free_.lower_bound(addr);
        if (after != free_.begin()) {
            auto prev = std::prev(after);
            if (prev->first + prev->second == addr) {
                prev->second += size;
                return true;
            }
        }
        free_[addr] = size;
        return true;
    }

    size_t largestFree()
    {
        std::lock_guard<std::mutex> g(m_);
        uint32_t best = 0;
        for (const auto& f : free_) best = f.second > best ? f.second : best;
        return best > kGuard ? best - kGuard : 0;
    }

private:
    static uint32_t addrOf(const void* p)
    {
        if (!board().dram().contains(p)) return 0;
        return uint32_t(static_cast<const uint8_t*>(p) - board().dram().base());
    }

    std::mutex m_;
    std::map<uint32_t, uint32_t> free_; // address -> size
    std::map<uint32_t, uint32_t> used_;
};

MemoryPool& pool()
{
    static MemoryPool p;
    return p;
}

} // namespace

void memoryInit() { pool().reset(); }

} // namespace host

namespace vx {

void* malloc(size_t n) { return host::pool().alloc(n); }

void* calloc(size_t count, size_t n)
{
    if (n && count > SIZE_MAX / n) return nullptr;
    void* p = host::pool().alloc(count * n);
    if (p) std::memset(p, 0, count * n);
    return p;
}

void free(void* p)
{
    if (p && !host::pool().release(p)) {
        vx::printErr("free: 0x%08x is not a block of the memory pool\n", ptrToBoardAddr(p));
    }
}

size_t memFindMax() { return host::pool().largestFree(); }

uint32_t ptrToBoardAddr(const void* p)
{
    auto& dram = host::board().dram();
    if (!dram.contains(p)) return 0xFFFFFFFFu;
    return uint32_t(static_cast<const uint8_t*>(p) - dram.base());
}

void* boardAddrToPtr(uint32_t addr, uint32_t len) { return host::board().dram().view(addr, len); }

} // namespace vx
