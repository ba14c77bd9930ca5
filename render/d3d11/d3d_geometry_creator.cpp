#include "render/d3d11/d3d_geometry_creator.h"

#include "foundation/log.h"
#include "render/d3d11/d3d_object_caches.h"

#include <cstring>

namespace tallow::render::d3d11 {
namespace {

const char *const log_category = "d3d11";

const char *const semantic_names[8] = {"POSITION", "NORMAL",   "TANGENT",      "BINORMAL",
                                       "TEXCOORD", "COLOR",    "BLENDINDICES", "BLENDWEIGHTS"};

struct ChannelFormat {
    DXGI_FORMAT format;
    u32 size;
};

// The stream offset advances by the element format's own size, so no two elements of a
// vertex overlap (the 16-bit and integer types included).
const ChannelFormat channel_formats[11] = {
    {DXGI_FORMAT_R32_FLOAT, 4},           {DXGI_FORMAT_R32G32_FLOAT, 8},
    {DXGI_FORMAT_R32G32B32_FLOAT, 12},    {DXGI_FORMAT_R32G32B32A32_FLOAT, 16},
    {DXGI_FORMAT_R8G8B8A8_UNORM, 4},      {DXGI_FORMAT_R16G16_SINT, 4},
    {DXGI_FORMAT_R16G16B16A16_SINT, 8},   {DXGI_FORMAT_R32_SINT, 4},
    {DXGI_FORMAT_R32G32_SINT, 8},         {DXGI_FORMAT_R32G32B32_SINT, 12},
    {DXGI_FORMAT_R32G32B32A32_SINT, 16},
};

constexpr u32 max_input_slots = 16;

} // namespace

u32 BufferRecord::element_size() const
{
    if (index_format == DXGI_FORMAT_R16_UINT)
        return 2;
    if (index_format == DXGI_FORMAT_R32_UINT)
        return 4;
    return stride;
}

namespace {

// The element layout of a buffer: an index buffer's format from its element size, or a
// vertex buffer's stride.
void set_layout(BufferRecord &record, u32 element_size, u32 bind_flags)
{
    if (bind_flags == D3D11_BIND_INDEX_BUFFER) {
        record.index_format = element_size == 4 ? DXGI_FORMAT_R32_UINT : DXGI_FORMAT_R16_UINT;
        record.stride = 0;
    } else {
        record.index_format = DXGI_FORMAT_UNKNOWN;
        record.stride = element_size;
    }
}

} // namespace

bool vertex_channel_format(u32 type, DXGI_FORMAT &out_format, u32 &out_size)
{
    if (type >= sizeof(channel_formats) / sizeof(channel_formats[0]))
        return false;
    out_format = channel_formats[type].format;
    out_size = channel_formats[type].size;
    return true;
}

const char *vertex_semantic_name(u32 code) { return code < 8 ? semantic_names[code] : nullptr; }

D3DGeometryCreator::D3DGeometryCreator(Allocator &parent, ID3D11Device *device, D3DObjectCaches &caches)
    : _allocator("D3DGeometryCreator", parent), _device(device), _caches(caches)
{
}

D3DGeometryCreator::~D3DGeometryCreator() = default;

bool D3DGeometryCreator::create_gpu_buffer(BufferRecord &record, u32 bytes, u32 bind_flags, const void *data)
{
    if (!record.object) {
        record.object = make_new<D3DBuffer>(_allocator);
        if (!record.object) {
            log_message(log_category, "buffer not made: out of memory");
            return false;
        }
    }
    record.object->view_dimension = 0;
    D3D11_BUFFER_DESC desc{};
    desc.ByteWidth = bytes;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = bind_flags;
    desc.CPUAccessFlags = 0;
    desc.MiscFlags = 0;
    D3D11_SUBRESOURCE_DATA initial{};
    initial.pSysMem = data;
    _device->CreateBuffer(&desc, data ? &initial : nullptr, record.object->buffer.put());
    record.capacity_bytes = record.object->buffer ? bytes : 0;
    return true;
}

bool D3DGeometryCreator::create_buffer(BufferRecord &record, const BufferDesc &desc, const void *data,
                                       u32 element_size, u32 bind_flags)
{
    const char *what = bind_flags == D3D11_BIND_INDEX_BUFFER ? "index buffer" : "vertex buffer";
    const u64 bytes = u64(desc.count) * element_size;
    if (bytes > 0xFFFFFFFFull) {
        log_message(log_category, "%s refused: %u x %u bytes", what, desc.count, element_size);
        return false;
    }
    if (record.alive)
        release_buffer(record);
    record = BufferRecord{};
    set_layout(record, element_size, bind_flags);
    record.count = desc.count;
    record.alive = true;
    if (desc.mode == buffer_mode_cpu_side) {
        record.cpu_data = data;
        record.cpu_side = true;
        return true;
    }
    record.object = make_new<D3DBuffer>(_allocator);
    if (!record.object) {
        log_message(log_category, "%s not made: out of memory", what);
        return true;
    }
    // Direct3D makes no buffer of 0 bytes: an empty one gets its Direct3D buffer from the
    // first update with data.
    if (bytes > 0)
        create_gpu_buffer(record, u32(bytes), bind_flags, data);
    return true;
}

bool D3DGeometryCreator::create_vertex_buffer(BufferRecord &record, const BufferDesc &desc, const void *data)
{
    return create_buffer(record, desc, data, desc.stride_or_flag, D3D11_BIND_VERTEX_BUFFER);
}

bool D3DGeometryCreator::create_index_buffer(BufferRecord &record, const BufferDesc &desc, const void *data)
{
    const bool wide = desc.stride_or_flag != 0;
    return create_buffer(record, desc, data, wide ? 4 : 2, D3D11_BIND_INDEX_BUFFER);
}

void D3DGeometryCreator::update_buffer(ID3D11DeviceContext *context, BufferRecord &record, u32 element_size,
                                       u32 bind_flags, const BufferDesc &desc, const void *data)
{
    if (!record.alive)
        return;
    if (record.cpu_side) {
        record.cpu_data = data;
        set_layout(record, element_size, bind_flags);
        record.count = desc.count;
        return;
    }
    const u64 bytes = u64(desc.count) * element_size;
    if (bytes == 0 || !data)
        return;
    if (bytes > 0xFFFFFFFFull) {
        log_message(log_category, "buffer update refused: %llu bytes", (unsigned long long)bytes);
        return;
    }
    // Later draws read the data with the layout it was given in, so the stride or index
    // format is always the new one; the count only changes with the buffer's size.
    set_layout(record, element_size, bind_flags);
    if (bytes > record.capacity_bytes || !record.object || !record.object->buffer) {
        record.count = desc.count;
        create_gpu_buffer(record, u32(bytes), bind_flags, data);
        return;
    }
    // A box over the new bytes only: without one the whole buffer would be read from
    // `data`, past its end when the new data is smaller.
    const D3D11_BOX box{0, 0, 0, u32(bytes), 1, 1};
    if (context)
        context->UpdateSubresource(record.object->buffer.get(), 0, &box, data, u32(bytes), u32(bytes));
}

void D3DGeometryCreator::update_vertex_buffer(ID3D11DeviceContext *context, BufferRecord &record,
                                              const BufferDesc &desc, const void *data)
{
    update_buffer(context, record, desc.stride_or_flag, D3D11_BIND_VERTEX_BUFFER, desc, data);
}

void D3DGeometryCreator::update_index_buffer(ID3D11DeviceContext *context, BufferRecord &record,
                                             const BufferDesc &desc, const void *data)
{
    update_buffer(context, record, desc.stride_or_flag ? 4 : 2, D3D11_BIND_INDEX_BUFFER, desc, data);
}

void D3DGeometryCreator::release_buffer(BufferRecord &record)
{
    if (!record.cpu_side)
        delete_with_allocator(_allocator, record.object);
    record.object = nullptr;
    record.cpu_data = nullptr;
    record.capacity_bytes = 0;
    record.alive = false;
}

bool D3DGeometryCreator::create_vertex_declaration(VertexDeclarationRecord &record, const VertexChannel *channels,
                                                   u32 count)
{
    if (count > max_vertex_channels || (count && !channels)) {
        log_message(log_category, "vertex declaration refused: %u channels (at most %u)", count,
                    max_vertex_channels);
        return false;
    }
    for (u32 i = 0; i < count; ++i) {
        DXGI_FORMAT format;
        u32 size;
        if (!vertex_semantic_name(channels[i].semantic) || !vertex_channel_format(channels[i].channel_type, format, size) ||
            channels[i].stream >= max_input_slots) {
            log_message(log_category,
                        "vertex declaration refused: channel %u has semantic %u, type %u, stream %u "
                        "(semantics 0-7, types 0-10, streams 0-15)",
                        i, channels[i].semantic, channels[i].channel_type, channels[i].stream);
            return false;
        }
    }
    if (record.valid)
        release_vertex_declaration(record);
    record.elements.resize(count);
    if (record.elements.size() != count) {
        log_message(log_category, "vertex declaration not made: out of memory");
        return false;
    }
    u32 offsets[max_input_slots] = {};
    for (u32 i = 0; i < count; ++i) {
        const VertexChannel &channel = channels[i];
        DXGI_FORMAT format = DXGI_FORMAT_UNKNOWN;
        u32 size = 0;
        vertex_channel_format(channel.channel_type, format, size);
        D3D11_INPUT_ELEMENT_DESC &element = record.elements[i];
        element = D3D11_INPUT_ELEMENT_DESC{};
        element.SemanticName = vertex_semantic_name(channel.semantic);
        element.SemanticIndex = channel.semantic_index;
        element.Format = format;
        element.InputSlot = channel.stream;
        element.AlignedByteOffset = offsets[channel.stream];
        element.InputSlotClass = channel.per_instance != 0 ? D3D11_INPUT_PER_INSTANCE_DATA : D3D11_INPUT_PER_VERTEX_DATA;
        element.InstanceDataStepRate = channel.per_instance != 0 ? 1 : 0;
        offsets[channel.stream] += size;
    }
    record.valid = true;
    return true;
}

void D3DGeometryCreator::release_vertex_declaration(VertexDeclarationRecord &record)
{
    record.valid = false;
    record.elements.resize(0);
    for (const InputLayoutPair &pair : record.layouts)
        _caches.release_input_layout(pair.layout);
    record.layouts.resize(0);
}

void D3DGeometryCreator::note_input_layout(VertexDeclarationRecord &record, ID3D11VertexShader *vertex_shader,
                                           ID3D11InputLayout *layout)
{
    for (const InputLayoutPair &pair : record.layouts) {
        if (pair.vertex_shader == vertex_shader && pair.layout == layout) {
            // The declaration already holds a reference; the lookup took one too many.
            _caches.release_input_layout(layout);
            return;
        }
    }
    if (!record.valid || !record.layouts.push_back({vertex_shader, layout}))
        _caches.release_input_layout(layout);
}

bool DynamicBufferRing::append(ID3D11DeviceContext *context, const void *data, u32 count, u32 element_size,
                               u32 &out_position)
{
    if (!context || !data || element_size == 0 || count == 0)
        return false;
    // 64-bit arithmetic: an append past 4 GiB is refused rather than wrapped.
    u64 offset = (u64(_write_offset) + element_size - 1) / element_size * element_size;
    const u64 bytes = u64(count) * element_size;
    if (offset + bytes > 0xFFFFFFFFull && bytes <= 0xFFFFFFFFull)
        offset = 0; // restart a full ring rather than run past 32 bits
    if (bytes > 0xFFFFFFFFull) {
        log_message(log_category, "ring append refused: %u x %u bytes", count, element_size);
        return false;
    }
    D3D11_MAP map_type = offset == 0 ? D3D11_MAP_WRITE_DISCARD : D3D11_MAP_WRITE_NO_OVERWRITE;
    if (offset + bytes > _capacity) {
        u64 capacity = u64(_capacity) * 2;
        if (capacity < offset + bytes)
            capacity = offset + bytes;
        if (capacity > 0xFFFFFFFFull)
            capacity = offset + bytes;
        D3D11_BUFFER_DESC desc{};
        desc.ByteWidth = u32(capacity);
        desc.Usage = D3D11_USAGE_DYNAMIC;
        desc.BindFlags = _bind_flags;
        desc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
        desc.MiscFlags = 0;
        OwnedComPtr<ID3D11Buffer> grown;
        _device->CreateBuffer(&desc, nullptr, grown.put());
        if (!grown) {
            log_message(log_category, "ring buffer of %llu bytes not made", (unsigned long long)capacity);
            return false;
        }
        _buffer = std::move(grown);
        _capacity = u32(capacity);
        offset = 0;
        map_type = D3D11_MAP_WRITE_DISCARD;
    }
    if (!_buffer)
        return false;
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context->Map(_buffer.get(), 0, map_type, 0, &mapped)) || !mapped.pData)
        return false;
    memcpy(static_cast<u8 *>(mapped.pData) + offset, data, bytes);
    context->Unmap(_buffer.get(), 0);
    out_position = u32(offset / element_size);
    _write_offset = u32(offset + bytes);
    return true;
}

bool DynamicBufferRing::append(ID3D11DeviceContext *context, const BufferRecord &record, u32 &out_position)
{
    if (!record.alive || !record.cpu_side)
        return false;
    return append(context, record.cpu_data, record.count, record.element_size(), out_position);
}

} // namespace tallow::render::d3d11
