#include "foundation/memory/scratch_pool.h"

#include "foundation/memory/allocator_internal.h"
#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"

#include <atomic>
#include <mutex>

namespace tallow {

ScratchPool::ScratchPool(Allocator &backing, u64 min_block_size, u32 max_spare_blocks)
    : _backing(&backing), _min_block_size(min_block_size), _blocks(default_allocator()),
      _open_frames(default_allocator()), _max_spare_blocks(malloc_allocators ? 0 : max_spare_blocks),
      _spares(default_allocator())
{
    // With malloc-routed allocators every request gets a block of its own and none is
    // kept spare, so the sanitizer sees each scratch allocation and each reuse.
    _spares.reserve(_max_spare_blocks);
}

ScratchPool::~ScratchPool()
{
    if (!_open_frames.empty())
        log_message("memory", "scratch pool destroyed with %u open frames", _open_frames.size());
    for (const ScratchBlock &b : _blocks)
        _backing->deallocate(b.base);
    for (const ScratchBlock &b : _spares)
        _backing->deallocate(b.base);
}

u32 ScratchPool::push_frame()
{
    u32 id = _next_frame;
    _next_frame = next_frame_id(_next_frame);
    _open_frames.push_back(id);
    return id;
}

ScratchBlock *ScratchPool::take_block(u32 frame, u64 size, u32 align)
{
    if (align < min_alignment)
        align = min_alignment;
    u64 wanted = malloc_allocators ? size : (size > _min_block_size ? size : _min_block_size);
    ScratchBlock block{};
    if (!_spares.empty() && wanted <= _spares.back().size &&
        (reinterpret_cast<u64>(_spares.back().base) & (align - 1)) == 0) {
        block = _spares.back();
        _spares.pop_back();
    } else {
        void *base = _backing->allocate(wanted, align);
        if (!base)
            return nullptr;
        block.base = static_cast<u8 *>(base);
        block.size = _backing->allocated_size(base);
        if (block.size < wanted) // a backing that cannot tell its sizes
            block.size = wanted;
    }
    block.used = 0;
    block.oldest_frame = frame;
    block.newest_frame = frame;
    if (!_blocks.push_back(block)) {
        release_block(block);
        return nullptr;
    }
    return &_blocks.back();
}

void *ScratchPool::allocate(u32 frame, u64 size, u32 align)
{
    if (!is_power_of_two(align))
        return nullptr;
    ScratchBlock *block = _blocks.empty() ? nullptr : &_blocks.back();
    u64 offset = 0;
    if (block) {
        // Align the address, not the count: a backing may give bases aligned less than `align`.
        offset = u64(align_up(block->base + block->used, align) - block->base);
        if (malloc_allocators || offset > block->size || size > block->size - offset)
            block = nullptr;
    }
    if (!block) {
        block = take_block(frame, size, align);
        if (!block)
            return nullptr;
        offset = u64(align_up(block->base, align) - block->base);
    }
    block->used = offset + size;
    if (is_newer_frame(frame, block->newest_frame))
        block->newest_frame = frame;
    if (is_newer_frame(block->oldest_frame, frame))
        block->oldest_frame = frame;
    return block->base + offset;
}

bool ScratchPool::may_release_last_block() const
{
    if (_blocks.empty())
        return false;
    if (_open_frames.empty())
        return true;
    const ScratchBlock &b = _blocks.back();
    return is_newer_frame(_open_frames[0], b.newest_frame) || is_newer_frame(b.oldest_frame, _open_frames.back());
}

void ScratchPool::release_block(const ScratchBlock &block)
{
    if (_spares.size() < _max_spare_blocks && _spares.push_back(block))
        return;
    _backing->deallocate(block.base);
}

void ScratchPool::pop_frame(u32 frame)
{
    u32 n = _open_frames.size();
    if (n && _open_frames[n - 1] == frame) {
        _open_frames.pop_back();
    } else {
        for (u32 i = 0; i < n; ++i)
            if (_open_frames[i] == frame) {
                _open_frames.erase(i);
                break;
            }
    }
    while (may_release_last_block()) {
        ScratchBlock last = _blocks.back();
        _blocks.pop_back();
        release_block(last);
    }
}

namespace {
std::mutex pools_lock;
Array<ScratchPool *> *pools = nullptr;
alignas(Array<ScratchPool *>) unsigned char pools_storage[sizeof(Array<ScratchPool *>)];
// Bumped when the pools are destroyed, so a thread's stale pointer is never used again.
std::atomic<u64> pools_generation{1};

thread_local ScratchPool *thread_pool = nullptr;
thread_local u64 thread_pool_generation = 0;

// A thread's pool goes with the thread: a program that starts and ends threads (a
// Application made again, a command thread per task) does not keep a pool for each one.
struct ThreadPoolExit {
    bool armed = false;
    ~ThreadPoolExit()
    {
        std::lock_guard<std::mutex> guard(pools_lock);
        ScratchPool *pool = thread_pool;
        thread_pool = nullptr;
        if (!pool || !pools || thread_pool_generation != pools_generation.load(std::memory_order_acquire))
            return; // none, or the pools are gone already (memory_globals_shutdown)
        for (u32 i = 0; i < pools->size(); ++i)
            if ((*pools)[i] == pool) {
                (*pools)[i] = pools->back();
                pools->pop_back();
                delete_with_allocator(default_allocator(), pool);
                return;
            }
    }
};
thread_local ThreadPoolExit thread_pool_exit;
} // namespace

ScratchPool *thread_scratch_pool()
{
    if (thread_pool && thread_pool_generation == pools_generation.load(std::memory_order_acquire))
        return thread_pool;
    std::lock_guard<std::mutex> guard(pools_lock);
    thread_pool = nullptr;
    Allocator &a = default_allocator();
    if (!pools)
        pools = new (pools_storage) Array<ScratchPool *>(a);
    ScratchPool *pool = make_new<ScratchPool>(a, page_allocator(), 4096, 1);
    if (!pool)
        return nullptr;
    if (!pools->push_back(pool)) {
        delete_with_allocator(a, pool);
        return nullptr;
    }
    thread_pool = pool;
    thread_pool_generation = pools_generation.load(std::memory_order_relaxed);
    thread_pool_exit.armed = true; // the first touch registers the thread's exit hook
    return pool;
}

void destroy_thread_scratch_pools()
{
    std::lock_guard<std::mutex> guard(pools_lock);
    thread_pool = nullptr;
    pools_generation.fetch_add(1, std::memory_order_release);
    if (!pools)
        return;
    for (ScratchPool *pool : *pools)
        delete_with_allocator(default_allocator(), pool);
    pools->~Array<ScratchPool *>();
    pools = nullptr;
}

} // namespace tallow
