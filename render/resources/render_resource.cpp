#include "render/resources/render_resource.h"

namespace tallow {

bool render_kind_for_type(RenderResourceType type, u32 *out_kind)
{
    switch (type) {
    case RenderResourceType::Texture: *out_kind = render_handle_kind::texture; return true;
    case RenderResourceType::RenderTarget:
    case RenderResourceType::DependentRenderTarget: *out_kind = render_handle_kind::render_target; return true;
    case RenderResourceType::VertexBuffer: *out_kind = render_handle_kind::vertex_buffer; return true;
    case RenderResourceType::IndexBuffer: *out_kind = render_handle_kind::index_buffer; return true;
    case RenderResourceType::VertexDeclaration: *out_kind = render_handle_kind::vertex_declaration; return true;
    case RenderResourceType::Shader: *out_kind = render_handle_kind::shader; return true;
    default: return false;
    }
}

BufferDescription make_vertex_buffer_resource(u32 creator, u32 element_count, u32 element_size, const Array<u8> *data)
{
    BufferDescription d;
    d.resource.type = RenderResourceType::VertexBuffer;
    d.resource.handle = invalid_render_handle;
    d.mode = creator;
    d.element_count = element_count;
    d.element_size = element_size;
    d.dynamic = 1;
    d.data = data;
    return d;
}

u32 vertex_channel_type_bytes(u32 channel_type)
{
    static const u32 bytes[] = {4, 8, 12, 16, 4, 2, 4, 6, 8, 4, 8, 12, 16};
    return channel_type < sizeof(bytes) / sizeof(bytes[0]) ? bytes[channel_type] : 0;
}

} // namespace tallow
