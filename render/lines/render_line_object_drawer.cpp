#include "render/lines/render_line_object_drawer.h"

#include "foundation/log.h"
#include "foundation/strings/name_id.h"
#include "render/commands/render_context.h"
#include "render/resources/render_resource_context.h"

#include <cstring>

namespace tallow {

RenderLineObjectDrawer::RenderLineObjectDrawer(Allocator &allocator, const LineDrawerDescription &description)
    : RenderObject(RenderObjectClass::LineObjectDrawer),
      _template(description.shader_template ? description.shader_template : NameId32("line_object").value()),
      _screen_space(description.screen_space), _vertices(allocator), _ranges(allocator),
      _vertex_buffer(make_vertex_buffer_resource(buffer_mode::gpu, 0, sizeof(LineVertex), &_vertices)),
      _shader(allocator)
{
    _declaration.channels[0].semantic = vertex_semantic::position;
    _declaration.channels[0].channel_type = vertex_channel::float3;
    _declaration.channels[1].semantic = vertex_semantic::color;
    _declaration.channels[1].channel_type = vertex_channel::ubyte4_norm;
    _declaration.channel_count = 2;
}

RenderLineObjectDrawer::~RenderLineObjectDrawer() = default;

void RenderLineObjectDrawer::create_resources(RenderResourceContext *context)
{
    if (!context)
        return;
    if (_vertex_buffer.resource.handle == invalid_render_handle) {
        _vertex_buffer.element_count = vertex_count();
        (void)context->create_resource(&_vertex_buffer.resource);
    }
    if (_declaration.resource.handle == invalid_render_handle)
        (void)context->create_resource(&_declaration.resource);
}

void RenderLineObjectDrawer::destroy_resources(RenderResourceContext *context)
{
    if (!context)
        return;
    context->release_resource(&_vertex_buffer.resource);
    context->release_resource(&_declaration.resource);
}

void RenderLineObjectDrawer::apply_message(u32 kind, const u8 *payload, u32 payload_bytes)
{
    LineMessageHeader header;
    if (kind != line_message_kind || payload_bytes < sizeof header) {
        log_message("render", "line drawer: record of kind %u and %u bytes is no line message; dropped", kind,
                    payload_bytes);
        return;
    }
    memcpy(&header, payload, sizeof header);
    u64 end = u64(header.lines_offset) + u64(header.count) * sizeof(LineRecord);
    if (header.lines_offset < sizeof header || end > payload_bytes || header.count > max_lines_per_object) {
        log_message("render", "line drawer: message of line object %u claims %u lines past its %u bytes; dropped",
                    header.line_object, header.count, payload_bytes);
        return;
    }
    // Payloads are only 4-aligned and LineRecord is made of 4-byte fields.
    submit_lines(header.line_object, header.count, reinterpret_cast<const LineRecord *>(payload + header.lines_offset));
}

void RenderLineObjectDrawer::write_vertices(u32 first_vertex, u32 count, const LineRecord *lines)
{
    u8 *out = _vertices.data() + u64(first_vertex) * sizeof(LineVertex);
    for (u32 i = 0; i < count; ++i) {
        LineRecord line;
        memcpy(&line, lines + i, sizeof line);
        const LineVertex pair[2] = {{line.from.x, line.from.y, line.from.z, line.color},
                                    {line.to.x, line.to.y, line.to.z, line.color}};
        memcpy(out + u64(i) * sizeof pair, pair, sizeof pair);
    }
}

void RenderLineObjectDrawer::submit_lines(u32 id, u32 count, const LineRecord *lines)
{
    u32 found = _ranges.size();
    for (u32 i = 0; i < _ranges.size(); ++i)
        if (_ranges[i].line_object == id) {
            found = i;
            break;
        }
    if (found < _ranges.size() && count != 0 && _ranges[found].end - _ranges[found].first == 2 * count) {
        write_vertices(_ranges[found].first, count, lines);
        return;
    }
    if (found < _ranges.size()) {
        LineRange old = _ranges[found];
        u32 removed = old.end - old.first;
        u32 total = vertex_count();
        memmove(_vertices.data() + u64(old.first) * sizeof(LineVertex),
                _vertices.data() + u64(old.end) * sizeof(LineVertex), u64(total - old.end) * sizeof(LineVertex));
        _vertices.resize((total - removed) * u32(sizeof(LineVertex)));
        _ranges.erase(found);
        for (u32 i = found; i < _ranges.size(); ++i) {
            _ranges[i].first -= removed;
            _ranges[i].end -= removed;
        }
    }
    if (count == 0)
        return;
    u32 first = vertex_count();
    u64 bytes = (u64(first) + 2 * u64(count)) * sizeof(LineVertex);
    if (bytes > 0xFFFFFFFFull) {
        log_message("render", "line drawer: %u more lines do not fit; dropped", count);
        return;
    }
    _vertices.resize(u32(bytes));
    if (_vertices.size() != bytes || !_ranges.push_back(LineRange{id, first, first + 2 * count})) {
        _vertices.resize(first * u32(sizeof(LineVertex)));
        log_message("render", "line drawer: no memory for %u lines of line object %u; dropped", count, id);
        return;
    }
    write_vertices(first, count, lines);
}

bool RenderLineObjectDrawer::render(const RenderDrawParams &params)
{
    if (vertex_count() == 0 || !params.context || !params.shaders)
        return false;
    if (!_has_template)
        _has_template = params.shaders->find_template(_template, _shader);
    if (!_has_template || _vertex_buffer.resource.handle == invalid_render_handle ||
        _declaration.resource.handle == invalid_render_handle)
        return false;
    if (_screen_space) {
        u32 width = 0, height = 0;
        screen_size_of(params, width, height);
        Matrix4x4 projection = pixel_projection(f32(width), f32(height), 0, 0, 1, 1, pixel_depth_scale, 0.0f);
        _shader.set_matrices(matrix4x4_identity, matrix4x4_identity, projection, nullptr);
    } else {
        _shader.set_matrices(matrix4x4_identity, params.view, params.projection, nullptr);
    }
    if (params.device && params.resource_set)
        _shader.bind_resources(*params.device, *params.resource_set);
    _vertex_buffer.element_count = vertex_count();
    params.context->update_resource(&_vertex_buffer.resource, 0);
    ShaderSlotEntry slot;
    if (!_shader.slot_entry(params.context->shader_slot_index(), &slot))
        return false;
    const GeometryBinding bindings[2] = {{render_handle_kind::vertex_buffer, _vertex_buffer.resource.handle},
                                         {render_handle_kind::vertex_declaration, _declaration.resource.handle}};
    RenderBatch batch;
    batch.bindings = bindings;
    batch.binding_count = 2;
    batch.primitive_type = primitive_type::line_list;
    batch.primitive_count = primitive_count();
    batch.vertex_count = vertex_count();
    batch.copy_constants = true;
    return params.context->render_batch(batch, slot, 0);
}

} // namespace tallow
