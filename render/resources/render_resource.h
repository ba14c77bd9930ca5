#pragma once
// What the front end knows of a device object: a small record that begins with a
// `RenderResource` header {type, handle}. The front end never touches device objects; it
// files create and release records in a `RenderResourceContext`, and the device makes or
// destroys its object under the handle when it executes them.
//
//   BufferDescription vb = make_vertex_buffer_resource(creator, count, stride, &vertices);
//   context.create_resource(&vb.resource);      // vb.resource.handle is valid at once
//   ... render commands name vb.resource.handle ...
//   context.release_resource(&vb.resource);     // handle back to invalid_render_handle
//
// Records here are plain data the device reads: buffer descriptions and vertex
// declarations are copied whole into update and command records (with memcpy), so their
// sizes are fixed below. Textures and render targets are objects (render_target.h) that the
// device reads through a pointer.

#include "foundation/types.h"

namespace tallow {

template <typename T> class Array;

/// Resource types; 4 and 7 are not used (a release of such a record writes nothing).
enum class RenderResourceType : u32 {
    Texture = 0,
    RenderTarget = 1,
    DependentRenderTarget = 2,
    BackBuffer = 3, // a window's back buffer; never created through a context
    VertexBuffer = 5,
    IndexBuffer = 6,
    VertexDeclaration = 8,
    Shader = 9,
};

/// A handle: bits 24 to 31 the kind, bits 0 to 23 an index. All kinds share one index
/// space (RenderResourceHandlePool). `invalid_render_handle` means "no device object".
using RenderResourceHandle = u32;
constexpr RenderResourceHandle invalid_render_handle = 0xFFFFFFFFu;
constexpr u32 render_handle_index_bits = 24;
constexpr u32 render_handle_index_mask = 0x00FFFFFFu;
constexpr u32 max_render_handle_index = render_handle_index_mask; // exclusive: 2^24 - 1 indices

/// Handle kinds: 0 every texture, 1 every render target (types 1, 2 and 3), otherwise
/// the resource type (5, 6, 8, 9).
namespace render_handle_kind {
constexpr u32 texture = 0;
constexpr u32 render_target = 1;
constexpr u32 vertex_buffer = 5;
constexpr u32 index_buffer = 6;
constexpr u32 vertex_declaration = 8;
constexpr u32 shader = 9;
} // namespace render_handle_kind

constexpr RenderResourceHandle make_render_handle(u32 kind, u32 index)
{
    return (index & render_handle_index_mask) | (kind << render_handle_index_bits);
}
constexpr u32 render_kind_of(RenderResourceHandle handle) { return handle >> render_handle_index_bits; }
constexpr u32 render_index_of(RenderResourceHandle handle) { return handle & render_handle_index_mask; }

/// The handle kind of a resource type; false for types that get no handle (3, 4, 7, unknown).
bool render_kind_for_type(RenderResourceType type, u32 *out_kind);

/// The header at the start of every render resource record.
struct RenderResource {
    RenderResourceType type;
    RenderResourceHandle handle = invalid_render_handle;
};
static_assert(sizeof(RenderResource) == 8);

/// Fills `element_count` elements at `destination` with a buffer's initial contents.
/// `element_size_or_flag` is the element size for vertex buffers and the 32-bit-index flag
/// for index buffers.
using BufferFillFunction = void (*)(void *destination, u32 element_size_or_flag, u32 element_count);

/// Buffer modes (the description's `mode` word, what the device reads as "mode"; the
/// front end calls the creator of the buffer by it).
namespace buffer_mode {
constexpr u32 gpu = 0;        // initial contents only; the device owns the memory
constexpr u32 cpu_memory = 2; // the data stays in CPU memory and is re-sent on update
} // namespace buffer_mode

/// Vertex and index buffer description, copied whole into update records 0/4 and
/// commands 0/1.
///
/// Decision on the description words (the creator word here, "mode" on the device side):
/// they are the same word. Word 2 is `mode` (buffer_mode above; the creator of a buffer
/// states how its data lives), word 3 is 0. The data word that held a 32-bit address is
/// split into two pointer-sized fields, so the description is 40 bytes, not 32.
struct BufferDescription {
    RenderResource resource;   // type VertexBuffer or IndexBuffer
    u32 mode = buffer_mode::gpu; // word 2: the creator word
    u32 reserved = 0;          // word 3: always 0
    u32 element_count = 0;     // word 4
    u32 element_size = 0;      // word 5: vertex stride in bytes; index buffers: non-zero = 32-bit indices
    u32 dynamic = 0;           // word 6: 1 when `data` holds the contents
    u32 padding = 0;
    const Array<u8> *data = nullptr; // dynamic buffers: the bytes, re-read on every update
    BufferFillFunction fill = nullptr; // static buffers: writes the initial contents
};
static_assert(sizeof(BufferDescription) == 48);
static_assert(offsetof(BufferDescription, mode) == 8 && offsetof(BufferDescription, element_count) == 16);
static_assert(offsetof(BufferDescription, element_size) == 20 && offsetof(BufferDescription, dynamic) == 24);

/// Bytes of one element of an index buffer by its 32-bit flag, or of a vertex buffer.
inline u32 buffer_element_bytes(const BufferDescription &d)
{
    if (d.resource.type == RenderResourceType::IndexBuffer)
        return d.element_size != 0 ? 4u : 2u;
    return d.element_size;
}

/// A dynamic vertex-buffer description for geometry rebuilt every frame: type 5, no
/// handle, mode `creator`, `element_count` elements of `element_size` bytes from `data`.
BufferDescription make_vertex_buffer_resource(u32 creator, u32 element_count, u32 element_size, const Array<u8> *data);

/// One channel of a vertex declaration.
struct VertexChannel {
    u32 semantic = 0;       // 0 to 7
    u32 channel_type = 0;   // 0 to 12; see vertex_channel_type_bytes
    u32 semantic_index = 0;
    u32 stream = 0;         // 0 to 15
    u8 per_instance = 0;
    u8 padding[3] = {};
};
static_assert(sizeof(VertexChannel) == 20);

constexpr u32 max_vertex_channels = 16;

/// Vertex declaration record (332 bytes), copied whole into update record 2 and command 2.
/// Field order: the header, 16 channel slots, then the channel count.
struct VertexDeclaration {
    RenderResource resource{RenderResourceType::VertexDeclaration};
    VertexChannel channels[max_vertex_channels];
    u32 channel_count = 0;
};
static_assert(sizeof(VertexDeclaration) == 332);
static_assert(offsetof(VertexDeclaration, channel_count) == 328);

/// Byte size of a vertex channel type (0 to 12); 0 for an unknown type.
u32 vertex_channel_type_bytes(u32 channel_type);

} // namespace tallow
