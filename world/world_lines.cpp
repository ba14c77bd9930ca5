#include "world/world.h"

#include "foundation/log.h"
#include "render/lines/render_line_object_drawer.h"
#include "render/world/render_state_queue.h"
#include "render/world/render_state_stream.h"
#include "render/world/render_world.h"
#include "render/world/world_render_link.h"

namespace tallow {

// Debug lines --------------------------------------------------------------------------------

void World::create_line_pools(RenderWorld *render_world, WorldRenderLink *link)
{
    _render_world = render_world;
    _render_link = link;
    static const char *const templates[3] = {"line_object", "line_object:DEPTH_TEST_DISABLED",
                                             "line_object:DEPTH_TEST_DISABLED"};
    for (u32 i = 0; i < 3; ++i) {
        if (render_world) {
            LineDrawerDescription description{NameId32(templates[i]).value(), false};
            RenderLineObjectDrawer *drawer = make_new<RenderLineObjectDrawer>(
                render_world->allocator(), render_world->allocator(), description);
            render_world->create_object(*link, _line_drawers[i], drawer);
        }
        _line_pools[i] = make_new<LineObjects>(_allocator, _allocator, _line_drawers[i]);
    }
    // Two from the plain pool (frame lines, permanent lines), one from the second pool
    // without depth test (particle debug lines).
    const u32 pool_of[3] = {0, 0, 2};
    for (u32 i = 0; i < 3; ++i)
        _world_lines[i] = _line_pools[pool_of[i]] ? _line_pools[pool_of[i]]->create() : nullptr;
}

void World::destroy_line_pools()
{
    _script_lines.clear();
    for (u32 i = 0; i < 3; ++i) {
        if (_render_world && _render_link)
            _render_world->destroy_object(*_render_link, _line_drawers[i]);
        delete_with_allocator(_allocator, _line_pools[i]);
        _line_pools[i] = nullptr;
    }
    for (LineObject *&l : _world_lines)
        l = nullptr;
}

RenderStateStream *World::line_stream() const
{
    RenderStateQueue *state = _render_link ? _render_link->state() : nullptr;
    return state ? &state->update_stream(0) : nullptr;
}

LineObject *World::create_line_object(bool disable_depth_test)
{
    LineObjects *pool = _line_pools[disable_depth_test ? 1 : 0];
    LineObject *object = pool ? pool->create() : nullptr;
    if (object && !_script_lines.push_back(ScriptLineObject{object, pool})) {
        pool->destroy(object, nullptr);
        object = nullptr;
    }
    return object;
}

bool World::owns_line_object(const LineObject *object) const
{
    for (const ScriptLineObject &s : _script_lines)
        if (s.object == object)
            return true;
    return false;
}

bool World::destroy_line_object(LineObject *object)
{
    for (u32 i = 0; i < _script_lines.size(); ++i) {
        if (_script_lines[i].object != object)
            continue;
        LineObjects *pool = _script_lines[i].pool;
        _script_lines[i] = _script_lines.back();
        _script_lines.pop_back();
        // Only objects whose drawer exists have lines to forget.
        RenderStateStream *stream = pool->drawer() != no_render_handle ? line_stream() : nullptr;
        return pool->destroy(object, stream);
    }
    return false;
}

void World::dispatch_line_object(const LineObject &object)
{
    RenderStateStream *stream = line_stream();
    if (!stream)
        return;
    for (LineObjects *pool : _line_pools)
        if (pool && pool->drawer() != no_render_handle && pool->owns(&object)) {
            if (!object.dispatch(*stream, pool->drawer()))
                log_message("world", "no room in the state stream for the lines of line object %u", object.id());
            return;
        }
}

void World::clear_permanent_lines()
{
    if (_world_lines[1])
        _world_lines[1]->reset();
}

void World::dispatch_world_lines()
{
    for (LineObject *lines : _world_lines)
        if (lines)
            dispatch_line_object(*lines);
    if (_world_lines[0])
        _world_lines[0]->reset();
    if (_world_lines[2])
        _world_lines[2]->reset();
}
} // namespace tallow
