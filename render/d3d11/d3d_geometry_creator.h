#pragma once
// Vertex buffers, index buffers and vertex declarations on the Direct3D side. A buffer
// either lives on the GPU (a default-usage buffer) or stays a CPU pointer that the draw
// code copies into a render context's dynamic ring at draw time. A declaration becomes an
// input-element list; the input layouts that join it to vertex shaders come from the
// object caches and are released with it.
//
//   D3DGeometryCreator geometry(allocator, device, caches);
//   BufferRecord vb;
//   geometry.create_vertex_buffer(vb, {mode, count, stride}, bytes);
//   geometry.update_vertex_buffer(context, vb, {mode, 50, stride}, new_bytes);
//   geometry.release_buffer(vb);
//
// Declarations are checked: more than 16 channels, a semantic above 7, a channel type
// above 10 or a stream above 15 is refused with a log line and makes nothing.
// Render thread only, except the rings, which belong to the thread recording their context.

#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/types.h"
#include "platform/d3d11/d3d11_shim.h"
#include "render/d3d11/d3d_resource.h"
#include "render/d3d11/owned_com_ptr.h"
#include "render/resources/render_resource.h"

namespace tallow::render::d3d11 {

class D3DObjectCaches;

constexpr u32 buffer_mode_cpu_side = 2;

/// What the creator reads of a front-end vertex or index buffer.
struct BufferDesc {
    u32 mode = 0;           ///< 2: the data stays in CPU memory
    u32 count = 0;          ///< vertices or indices
    u32 stride_or_flag = 0; ///< vertex stride in bytes, or non-zero for 32-bit indices
};

struct BufferRecord {
    D3DBuffer *object = nullptr;     ///< GPU buffer (null for a CPU-side buffer)
    const void *cpu_data = nullptr;  ///< CPU-side buffer's bytes, owned by the front end
    u32 stride = 0;                  ///< vertex buffers: bytes per vertex; 0 for index buffers
    DXGI_FORMAT index_format = DXGI_FORMAT_UNKNOWN; ///< index buffers: R16_UINT or R32_UINT
    u32 count = 0;                   ///< elements of the last data given
    u32 capacity_bytes = 0;          ///< bytes the GPU buffer holds
    bool cpu_side = false;
    bool alive = false;

    /// Bytes per element: 2 or 4 for an index buffer, else the stride. The two are kept
    /// apart because a stride of 42 or 57 bytes is also the number of an index format.
    u32 element_size() const;
};

struct InputLayoutPair {
    ID3D11VertexShader *vertex_shader;
    ID3D11InputLayout *layout; ///< one cache reference held by the declaration
};

struct VertexDeclarationRecord {
    Array<InputLayoutPair> layouts;
    Array<D3D11_INPUT_ELEMENT_DESC> elements;
    bool valid = false;
    explicit VertexDeclarationRecord(Allocator &allocator) : layouts(allocator), elements(allocator) {}
};

/// The element format and byte size of a channel type; false for a type without one.
bool vertex_channel_format(u32 type, DXGI_FORMAT &out_format, u32 &out_size);
/// The semantic name of a code, or null above 7.
const char *vertex_semantic_name(u32 code);

class D3DGeometryCreator {
  public:
    /// `device` and `caches` must outlive the creator; objects come from its own trace
    /// allocator "D3DGeometryCreator" over `parent`.
    D3DGeometryCreator(Allocator &parent, ID3D11Device *device, D3DObjectCaches &caches);
    ~D3DGeometryCreator();
    D3DGeometryCreator(const D3DGeometryCreator &) = delete;
    D3DGeometryCreator &operator=(const D3DGeometryCreator &) = delete;

    /// A GPU buffer of count x stride bytes from `data` (none made for count 0), or a
    /// CPU-side record for mode 2. False when the size does not fit 32 bits.
    bool create_vertex_buffer(BufferRecord &record, const BufferDesc &desc, const void *data);
    /// As above with 2- or 4-byte indices.
    bool create_index_buffer(BufferRecord &record, const BufferDesc &desc, const void *data);
    /// New data on `context`: rewritten in place when it fits (the count stays), else the
    /// buffer is made again at the new size and count. The record always takes the new
    /// stride or index format.
    void update_vertex_buffer(ID3D11DeviceContext *context, BufferRecord &record, const BufferDesc &desc,
                              const void *data);
    void update_index_buffer(ID3D11DeviceContext *context, BufferRecord &record, const BufferDesc &desc,
                             const void *data);
    /// Either kind: a CPU-side record is only marked dead.
    void release_buffer(BufferRecord &record);

    /// Builds the input elements; false (record untouched) for a refused declaration.
    bool create_vertex_declaration(VertexDeclarationRecord &record, const VertexChannel *channels, u32 count);
    /// Empties the elements and releases every input layout taken for the declaration.
    void release_vertex_declaration(VertexDeclarationRecord &record);
    /// Remembers a layout a draw took for the declaration: a new (shader, layout) pair
    /// keeps the draw's cache reference, a known pair gives it back.
    void note_input_layout(VertexDeclarationRecord &record, ID3D11VertexShader *vertex_shader,
                           ID3D11InputLayout *layout);

  private:
    bool create_buffer(BufferRecord &record, const BufferDesc &desc, const void *data, u32 element_size,
                       u32 bind_flags);
    bool create_gpu_buffer(BufferRecord &record, u32 bytes, u32 bind_flags, const void *data);
    void update_buffer(ID3D11DeviceContext *context, BufferRecord &record, u32 element_size, u32 bind_flags,
                       const BufferDesc &desc, const void *data);

    TraceAllocator _allocator;
    ID3D11Device *_device;
    D3DObjectCaches &_caches;
};

/// A render context's dynamic vertex or index ring: CPU-side data is appended and drawn
/// from here. Starts empty; grows to the larger of double its capacity and the needed
/// end, then restarts at 0. Used by the one thread recording its context.
class DynamicBufferRing {
  public:
    /// `bind_flags` is D3D11_BIND_VERTEX_BUFFER or D3D11_BIND_INDEX_BUFFER.
    DynamicBufferRing(ID3D11Device *device, u32 bind_flags) : _device(device), _bind_flags(bind_flags) {}

    /// Copies `count` elements of `element_size` bytes through Map (DISCARD when the ring
    /// restarts at 0, else NO_OVERWRITE) on `context`. `out_position` is the first
    /// element's index: bind the buffer at element_size x position. False when nothing
    /// was written (no data, a size past 32 bits, or the buffer could not be made).
    bool append(ID3D11DeviceContext *context, const void *data, u32 count, u32 element_size, u32 &out_position);
    /// Appends a CPU-side buffer record's data with its element size.
    bool append(ID3D11DeviceContext *context, const BufferRecord &record, u32 &out_position);

    /// The next append starts over at 0 with a DISCARD map (each frame, each command list).
    void restart() { _write_offset = 0; }

    ID3D11Buffer *buffer() const { return _buffer.get(); }
    u32 write_offset() const { return _write_offset; }
    u32 capacity() const { return _capacity; }

  private:
    ID3D11Device *_device;
    u32 _bind_flags;
    OwnedComPtr<ID3D11Buffer> _buffer;
    u32 _write_offset = 0;
    u32 _capacity = 0;
};

} // namespace tallow::render::d3d11
