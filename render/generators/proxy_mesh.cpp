#include "render/generators/proxy_mesh.h"

#include "foundation/log.h"
#include "render/resources/render_resource_context.h"
#include "render/world/render_mesh_object.h"

#include <cstring>

namespace tallow::resource_generator {

namespace {
bool copy_bytes(Array<u8> &out, const void *bytes, u64 size)
{
    if (!bytes || size == 0 || size > 0xFFFFFFFFu)
        return false;
    out.resize(u32(size));
    if (out.size() != size)
        return false;
    memcpy(out.data(), bytes, size);
    return true;
}
} // namespace

bool ProxyMesh::load(const GeneratorMeshLookup &lookup, u64 resource_name, u32 mesh_name,
                     RenderResourceContext *resources, const char *owner)
{
    release(resources);
    MeshDesc desc;
    if (!lookup.find || !lookup.find(lookup.context, resource_name, mesh_name, &desc)) {
        log_message("render", "%s: mesh 0x%08x is not in resource 0x%016llx (or no mesh lookup is set up)", owner,
                    mesh_name, (unsigned long long)resource_name);
        return false;
    }
    const u32 index_bytes = desc.index_32bit ? 4 : 2;
    if (desc.vertex_stride == 0 || desc.index_count < 3 || desc.channel_count == 0 ||
        !copy_bytes(_vertices, desc.vertices, u64(desc.vertex_count) * desc.vertex_stride) ||
        !copy_bytes(_indices, desc.indices, u64(desc.index_count) * index_bytes)) {
        log_message("render", "%s: mesh 0x%08x has no triangles to draw", owner, mesh_name);
        return false;
    }
    _vertex_buffer.resource = {RenderResourceType::VertexBuffer, invalid_render_handle};
    _vertex_buffer.element_count = desc.vertex_count;
    _vertex_buffer.element_size = desc.vertex_stride;
    _vertex_buffer.dynamic = 1;
    _vertex_buffer.data = &_vertices;
    _index_buffer.resource = {RenderResourceType::IndexBuffer, invalid_render_handle};
    _index_buffer.element_count = desc.index_count;
    _index_buffer.element_size = desc.index_32bit ? 1 : 0;
    _index_buffer.dynamic = 1;
    _index_buffer.data = &_indices;
    _declaration = VertexDeclaration{};
    _declaration.channel_count = desc.channel_count < max_vertex_channels ? desc.channel_count : max_vertex_channels;
    for (u32 i = 0; i < _declaration.channel_count; ++i)
        _declaration.channels[i] = desc.channels[i];
    _primitive_count = desc.index_count / 3;
    _vertex_count = desc.vertex_count;
    if (resources) {
        bool made = resources->create_resource(&_vertex_buffer.resource);
        made = resources->create_resource(&_index_buffer.resource) && made;
        made = resources->create_resource(&_declaration.resource) && made;
        _has_geometry = made;
    }
    _bindings[0] = {render_handle_kind::vertex_buffer, _vertex_buffer.resource.handle};
    _bindings[1] = {render_handle_kind::index_buffer, _index_buffer.resource.handle};
    _bindings[2] = {render_handle_kind::vertex_declaration, _declaration.resource.handle};
    return true;
}

void ProxyMesh::release(RenderResourceContext *context)
{
    if (!_has_geometry)
        return;
    _has_geometry = false;
    if (!context)
        return;
    context->release_resource(&_vertex_buffer.resource);
    context->release_resource(&_index_buffer.resource);
    context->release_resource(&_declaration.resource);
}

RenderBatch ProxyMesh::batch() const
{
    RenderBatch batch;
    batch.bindings = _bindings;
    batch.binding_count = 3;
    batch.primitive_count = _primitive_count;
    batch.vertex_count = _vertex_count;
    batch.instance_count = 1;
    return batch;
}

} // namespace tallow::resource_generator
