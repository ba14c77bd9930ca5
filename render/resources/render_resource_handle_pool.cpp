#include "render/resources/render_resource_handle_pool.h"

#include "foundation/log.h"

namespace tallow {

RenderResourceHandlePool::RenderResourceHandlePool(Allocator &allocator, u32 max_index_count)
    : _free(allocator), _live(allocator),
      _max_index_count(max_index_count < max_render_handle_index ? max_index_count : max_render_handle_index)
{
}

RenderResourceHandle RenderResourceHandlePool::alloc_handle(u32 kind)
{
    std::lock_guard<std::mutex> lock(_mutex);
    u32 index;
    if (!_free.empty()) {
        index = _free.back();
        _free.pop_back();
    } else {
        if (_issued >= _max_index_count) {
            log_message("render", "render resource handles exhausted (%u live); release resources first", _live_count);
            return invalid_render_handle;
        }
        if (!_live.push_back(0)) {
            log_message("render", "render resource handle table cannot grow");
            return invalid_render_handle;
        }
        index = _issued++;
    }
    _live[index] = 1;
    ++_live_count;
    return make_render_handle(kind, index);
}

bool RenderResourceHandlePool::free_handle(RenderResourceHandle handle)
{
    std::lock_guard<std::mutex> lock(_mutex);
    const u32 index = render_index_of(handle);
    if (handle == invalid_render_handle || index >= _issued || !_live[index]) {
        log_message("render", "release of render resource handle 0x%08x that is not live; ignored", handle);
        return false;
    }
    if (!_free.push_back(index)) {
        // Keep it marked live: an index lost to the pool is safe, a shared one is not.
        log_message("render", "render resource free list cannot grow; index %u not reused", index);
        return false;
    }
    _live[index] = 0;
    --_live_count;
    return true;
}

bool RenderResourceHandlePool::is_live(RenderResourceHandle handle)
{
    std::lock_guard<std::mutex> lock(_mutex);
    const u32 index = render_index_of(handle);
    return handle != invalid_render_handle && index < _issued && _live[index] != 0;
}

u32 RenderResourceHandlePool::live_count()
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _live_count;
}

u32 RenderResourceHandlePool::issued_count()
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _issued;
}

} // namespace tallow
