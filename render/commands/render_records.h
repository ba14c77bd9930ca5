#pragma once
// The records the front end writes and the device reads: resource-update records (a
// RenderResourceContext's stream), render commands (a RenderContext's stream), the draw
// batch of command 10 and the sort entry. Each is defined once here; writers and readers
// copy them in and out of the byte stream with memcpy (payloads are only 4-aligned), never
// by hand-computed offsets.
//
// A stream is a run of records, each 4-aligned:
//   CommandHeader {type, size, payload_offset}, then the payload at record + payload_offset.
// `size` counts the header and the payload; the next record starts at the record's start
// plus `size`, rounded up to 4. Read streams with CommandCursor (command_buffer.h), which
// checks every record against the stream's end.
//
// Where a record held a 32-bit address it holds a native pointer now; the fields whose
// place the device relies on are pinned with static_asserts.

#include "foundation/types.h"
#include "render/resources/render_resource.h"
#include "render/resources/render_target.h"

namespace tallow {

class CommandBuffer;

/// The 12 bytes in front of every record.
struct CommandHeader {
    u32 type;
    u32 size;           // header + padding + payload, bytes
    u32 payload_offset; // from the record start; 12 + padding to 4
};
static_assert(sizeof(CommandHeader) == 12);

// ---------------------------------------------------------------------------------------
// Resource updates (RenderResourceContext streams; RenderDevice::update_resources).

enum class ResourceUpdate : u32 {
    CreateVertexBuffer = 0,      // UpdateCreateBuffer
    ReleaseVertexBuffer = 1,     // UpdateRelease
    CreateVertexDeclaration = 2, // VertexDeclaration (332 bytes)
    ReleaseVertexDeclaration = 3,
    CreateIndexBuffer = 4,       // UpdateCreateBuffer
    ReleaseIndexBuffer = 5,
    CreateShader = 6,            // UpdateCreateShader
    ReleaseShader = 7,
    CreateRenderTarget = 8,      // UpdateCreateRenderTarget
    ReleaseRenderTarget = 9,
    CreateTexture = 10,          // UpdateTexture, then the data pointers
    ReleaseTexture = 11,
};
constexpr u32 resource_update_type_count = 12;

/// Records 0 and 4 (and commands 0 and 1): the description, then the data to upload.
struct UpdateCreateBuffer {
    BufferDescription description;
    const void *data; // static buffers: a copy in the context's allocator; dynamic: the Array's bytes (may be null)
};
static_assert(sizeof(UpdateCreateBuffer) == 56);

/// Every release record: which resource.
struct UpdateRelease {
    RenderResourceType type;
    RenderResourceHandle handle;
};
static_assert(sizeof(UpdateRelease) == 8);

/// Records 6 and 8 name their object by pointer, and carry the handle the object had when
/// the record was written: a create and a release of one object in the same stream reset the
/// object's own handle before the device reads it, so the device takes the handle from here.

/// Record 6: the shader object, whose first member is its RenderResource header.
struct UpdateCreateShader {
    const RenderResource *shader;
    RenderResourceHandle handle;
};

/// Record 8: the render-target instance the device creates its target for.
struct UpdateCreateRenderTarget {
    RenderTarget *target;
    RenderResourceHandle handle;
};

/// Record 10 and command 3: the texture, then `data_count` `const void *` texel pointers at
/// `data_offset` from the payload start (faces outer, mips inner).
struct UpdateTexture {
    u32 unused = 0;
    RenderResourceType type = RenderResourceType::Texture;
    RenderResourceHandle handle = invalid_render_handle;
    TextureDescription description;
    u32 data_count = 0;
    u32 data_offset = 0; // from the payload start; sizeof(UpdateTexture) when written here
};
static_assert(sizeof(UpdateTexture) == 44);
static_assert(offsetof(UpdateTexture, handle) == 8 && offsetof(UpdateTexture, description) == 12);
static_assert(offsetof(UpdateTexture, data_count) == 36 && offsetof(UpdateTexture, data_offset) == 40);

// ---------------------------------------------------------------------------------------
// Render commands (RenderContext streams; RenderDevice::dispatch).

enum class RenderCommand : u32 {
    UpdateVertexBuffer = 0,      // UpdateCreateBuffer
    UpdateIndexBuffer = 1,       // UpdateCreateBuffer
    UpdateVertexDeclaration = 2, // VertexDeclaration
    UpdateTexture = 3,           // UpdateTexture, then the data pointers
    CopyTarget = 4,              // CommandCopyTarget
    SetRenderTarget = 5,         // CommandSetRenderTarget
    SetDepthStencil = 6,         // CommandSetDepthStencil
    SetViewports = 7,            // CommandItems, then Viewport items
    SetScissors = 8,             // CommandItems, then ScissorRect items
    Clear = 9,                   // CommandClear
    DrawBatch = 10,              // DrawBatchRecord, bindings, constants, extra data
    Ignored = 11,                // the device skips it
    ResolveCount = 12,           // CommandResolveCount
};
constexpr u32 render_command_type_count = 13;

/// Command 4: copy a box of the source's first subresource to the destination at (0, 0, 0).
struct CommandCopyTarget {
    RenderResourceHandle destination;
    RenderResourceHandle source;
    u32 box[6]; // left, top, front, right, bottom, back; all 0 when the caller gave none
};
static_assert(sizeof(CommandCopyTarget) == 32);

constexpr u32 max_render_target_slots = 8;

/// Command 5: bind (or with null unbind) a colour target slot.
struct CommandSetRenderTarget {
    u32 slot;          // 0 to 7
    u32 reserved;      // 0
    RenderTarget *target; // the instance for the current window; null unbinds
};
static_assert(sizeof(CommandSetRenderTarget) == 16);

/// Command 6. Decision on the second word: it is the face index of a cube depth-stencil
/// target (0 otherwise). The layer set-up writes 0; generators may name a face.
struct CommandSetDepthStencil {
    RenderTarget *target; // null for none
    u32 face;
    u32 reserved;
};
static_assert(sizeof(CommandSetDepthStencil) == 16);

/// Commands 7 and 8: `count` items at `items_offset` from the payload start.
struct CommandItems {
    u32 count;
    u32 items_offset;
};

/// One item of command 7; x, y, width and height are fractions of the target size.
struct Viewport {
    f32 x, y, width, height;
    f32 min_depth, max_depth;
};
static_assert(sizeof(Viewport) == 24);

/// One item of command 8, fractions of the target size.
struct ScissorRect {
    f32 x, y, width, height;
};
static_assert(sizeof(ScissorRect) == 16);

/// Command 9 flags.
namespace clear_flags {
constexpr u32 color = 1;
constexpr u32 depth = 2;   // to 1.0
constexpr u32 stencil = 4; // to 0
} // namespace clear_flags

struct CommandClear {
    u32 flags;
};

/// Command 12: the layer's resolve count for the device's target copy cache.
struct CommandResolveCount {
    i32 max_resolve_count; // -1 when not set
};

/// One geometry binding of a draw: kind 5 vertex buffer (up to 16 streams), 6 index
/// buffer (makes the draw indexed), 8 vertex declaration.
struct GeometryBinding {
    u32 kind;
    RenderResourceHandle handle;
};
static_assert(sizeof(GeometryBinding) == 8);

constexpr u32 max_vertex_streams = 16;

/// Command 10, the fixed part of a draw batch. After it, at the offsets it gives from the
/// payload start: `binding_count` GeometryBindings, the constant copy
/// (`constant_size_bytes`, when `constants_offset` is not 0) and the extra data
/// (`extra_size_bytes`, when `extra_offset` is not 0).
///
/// Decision on the constant-block word: word 15 held the address of the slot's constant
/// block; it is a pointer now, after the 15 words whose places stay as they were. Words 15
/// and 16 carry the sizes of the constants and the extra data (so a reader can bound
/// them), and the binding list starts at sizeof(DrawBatchRecord), 80, not 64. Word 15 is
/// the size of the copy when `constants_offset` is not 0, else of `constant_block`.
struct DrawBatchRecord {
    RenderResourceHandle shader;  // [0] the slot's shader (kind 9)
    u32 binding_count;            // [1]
    u32 bindings_offset;          // [2]
    u32 constants_offset;         // [3] 0: use constant_block
    u32 extra_offset;             // [4] 0: none
    u32 primitive_type;           // [5] 0 triangle list, 1 line list
    f32 sort_depth;               // [6]
    u32 start_vertex;             // [7] base vertex for indexed draws
    u32 primitive_count;          // [8] 0 draws nothing
    u32 start_index;              // [9]
    u32 vertex_count;             // [10] non-indexed draws
    u32 instance_count;           // [11] 1: not instanced
    u32 thread_groups[3];         // [12..14] compute dispatch x, y, z
    u32 constant_size_bytes;      // [15] bytes of the copy, or of constant_block when constants_offset is 0
    u32 extra_size_bytes;         // [16]
    u32 reserved;                 // [17]
    const void *constant_block;   // the slot's constant block, used when constants_offset is 0
};
static_assert(sizeof(DrawBatchRecord) == 80);
static_assert(offsetof(DrawBatchRecord, sort_depth) == 24 && offsetof(DrawBatchRecord, instance_count) == 44);
static_assert(offsetof(DrawBatchRecord, thread_groups) == 48 && offsetof(DrawBatchRecord, constant_block) == 72);

// ---------------------------------------------------------------------------------------
// Sort entries.

/// One filed command, or one segment of commands that stays together. The device executes
/// the records from `offset` to `offset + length` of `buffer` in key order.
struct RenderSortEntry {
    i64 key;                // compared as a signed 64-bit integer (see sort_key.h)
    const CommandBuffer *buffer;
    u32 offset;             // of the first record
    u32 length;             // bytes, to the write offset when the entry was closed
    u8 segment;             // 1: opened by begin_segment; the device may split work only here
    u8 padding[7];
};
static_assert(sizeof(RenderSortEntry) == 32);

} // namespace tallow
