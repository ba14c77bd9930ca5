#include "render/world/render_state_queue.h"

#include "foundation/log.h"

namespace tallow {

namespace {
constexpr u32 create_destroy_capacity = 1024;
}

RenderStateQueue::RenderStateQueue(Allocator &parent)
    : _create_destroy_allocator("create_destroy", parent), _update_allocator("update", parent),
      _update_streams(_update_allocator), _group_starts(_update_allocator), _create(_create_destroy_allocator, create_destroy_capacity),
      _destroy(_create_destroy_allocator, create_destroy_capacity)
{
    add_update_stream();
}

RenderStateQueue::~RenderStateQueue()
{
    for (RenderStateStream *stream : _update_streams)
        delete_with_allocator(_update_allocator, stream);
}

RenderStateStream *RenderStateQueue::add_update_stream()
{
    if (_update_count == _update_streams.size()) {
        RenderStateStream *stream = make_new<RenderStateStream>(_update_allocator, _update_allocator);
        if (!stream || !_update_streams.push_back(stream)) {
            delete_with_allocator(_update_allocator, stream);
            log_message("render", "no memory for another update stream (%u in use)", _update_count);
            return nullptr;
        }
    }
    RenderStateStream *stream = _update_streams[_update_count++];
    stream->reset();
    return stream;
}

bool RenderStateQueue::begin_update_group()
{
    // Stream 0 and the first streams added form the first group: a group starts only once
    // streams past stream 0 exist, and an empty group is never made.
    if (_update_count <= 1 || (!_group_starts.empty() && _group_starts.back() == _update_count))
        return true;
    if (!_group_starts.push_back(_update_count)) {
        log_message("render", "no memory for another update group (%u streams in use)", _update_count);
        return false;
    }
    return true;
}

void RenderStateQueue::reset()
{
    _group_starts.clear();
    _create.reset();
    _destroy.reset();
    for (u32 i = 0; i < _update_count; ++i)
        _update_streams[i]->reset();
    _update_count = _update_streams.empty() ? 0 : 1;
}

bool RenderStateQueue::empty() const
{
    if (!_create.empty() || !_destroy.empty())
        return false;
    for (u32 i = 0; i < _update_count; ++i)
        if (!_update_streams[i]->empty())
            return false;
    return true;
}

} // namespace tallow
