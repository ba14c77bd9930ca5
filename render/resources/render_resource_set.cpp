#include "render/resources/render_resource_set.h"

#include "foundation/log.h"
#include "render/resources/render_resource_context.h"
#include "render/resources/render_target.h"

#include <algorithm>

namespace tallow {

namespace {
// First entry whose name is not below `name`.
u32 lower_bound(const Array<RenderResourceSet::Entry> &entries, u32 name)
{
    const RenderResourceSet::Entry *at = std::lower_bound(
        entries.begin(), entries.end(), name, [](const RenderResourceSet::Entry &e, u32 n) { return e.name < n; });
    return u32(at - entries.begin());
}
} // namespace

void destroy_render_resource(Allocator &allocator, RenderResource *resource)
{
    if (!resource)
        return;
    switch (resource->type) {
    case RenderResourceType::Texture:
    case RenderResourceType::RenderTarget:
    case RenderResourceType::DependentRenderTarget:
    case RenderResourceType::BackBuffer: delete_with_allocator(allocator, static_cast<Texture *>(resource)); break;
    case RenderResourceType::VertexBuffer:
    case RenderResourceType::IndexBuffer:
    case RenderResourceType::VertexDeclaration: allocator.deallocate(resource); break;
    default: break;
    }
}

RenderResourceSet::RenderResourceSet(Allocator &parent) : _allocator("RenderResourceSet", parent), _entries(_allocator) {}

RenderResourceSet::~RenderResourceSet() { release(); }

void RenderResourceSet::add(u32 name, RenderResource *resource, bool created_here, bool external)
{
    const Entry entry{name, resource, u8(created_here ? 1 : 0), u8(external ? 1 : 0)};
    const u32 at = lower_bound(_entries, name);
    if (at < _entries.size() && _entries[at].name == name) {
        log_message("render", "render resource 0x%08x added twice; the later one is kept", name);
        _entries[at] = entry;
        return;
    }
    _entries.insert(at, entry);
}

RenderResource *RenderResourceSet::find(u32 name) const
{
    const u32 at = lower_bound(_entries, name);
    return at < _entries.size() && _entries[at].name == name ? _entries[at].resource : nullptr;
}

void RenderResourceSet::create_all(RenderResourceContext &context)
{
    for (const Entry &e : _entries)
        if (e.created_here && !e.external)
            context.create_resource(e.resource);
}

void RenderResourceSet::destroy_all(RenderResourceContext &context)
{
    for (const Entry &e : _entries)
        if (e.created_here && !e.external)
            context.release_resource(e.resource);
}

void RenderResourceSet::release()
{
    u32 kept = 0;
    for (u32 i = 0; i < _entries.size(); ++i) {
        const Entry e = _entries[i];
        if (!e.created_here) {
            _entries[kept++] = e;
            continue;
        }
        if (!e.external)
            destroy_render_resource(_allocator, e.resource);
    }
    _entries.resize(kept);
}

} // namespace tallow
