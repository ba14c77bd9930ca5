#include "foundation/memory/page_owner_map.h"

#include <sys/mman.h>

namespace tallow {

namespace {
void *map_zeroed(u64 size)
{
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

using Leaf = std::atomic<u8>;
static_assert(sizeof(Leaf) == 1 && sizeof(std::atomic<Leaf *>) == sizeof(void *),
              "fresh anonymous pages read as empty leaves and null roots");
} // namespace

PageOwnerMap::PageOwnerMap()
    : _root(static_cast<std::atomic<Leaf *> *>(map_zeroed(leaf_size * sizeof(std::atomic<Leaf *>))))
{
}

PageOwnerMap::~PageOwnerMap()
{
    if (!_root)
        return;
    for (u64 i = 0; i < leaf_size; ++i)
        if (Leaf *leaf = _root[i].load(std::memory_order_relaxed))
            munmap(leaf, leaf_size);
    munmap(_root, leaf_size * sizeof(std::atomic<Leaf *>));
}

bool PageOwnerMap::set(const void *address, Tag tag)
{
    u64 chunk = reinterpret_cast<u64>(address) >> chunk_shift;
    if (chunk >> (2 * leaf_bits) || !_root)
        return tag == none;
    std::atomic<Leaf *> &slot = _root[chunk >> leaf_bits];
    Leaf *leaf = slot.load(std::memory_order_acquire);
    if (!leaf) {
        if (tag == none)
            return true;
        // Two threads may race to add the same leaf: one wins, the other gives its own back.
        Leaf *fresh = static_cast<Leaf *>(map_zeroed(leaf_size));
        if (!fresh)
            return false;
        if (slot.compare_exchange_strong(leaf, fresh, std::memory_order_acq_rel, std::memory_order_acquire))
            leaf = fresh;
        else
            munmap(fresh, leaf_size);
    }
    // Every free reads these lines: a write that changes nothing would only take them away
    // from the other threads' caches.
    std::atomic<u8> &entry = leaf[chunk & (leaf_size - 1)];
    if (entry.load(std::memory_order_relaxed) != tag)
        entry.store(tag, std::memory_order_relaxed);
    return true;
}

bool PageOwnerMap::set_range(const void *address, u64 bytes, Tag tag)
{
    const u64 chunk = u64(1) << chunk_shift;
    const u64 first = reinterpret_cast<u64>(address) & ~(chunk - 1);
    const u64 end = reinterpret_cast<u64>(address) + bytes;
    for (u64 at = first; at < end; at += chunk)
        if (!set(reinterpret_cast<const void *>(at), tag)) {
            for (u64 undo = first; undo < at; undo += chunk)
                set(reinterpret_cast<const void *>(undo), none);
            return false;
        }
    return true;
}

} // namespace tallow
