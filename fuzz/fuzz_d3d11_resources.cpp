// Random resource-update streams through the Direct3D resource manager over the headless
// layer. The bytes choose the records, their types, handles and descriptions; pointers in
// records (buffer data, texel data, targets, shaders) point at fixtures, since the front
// end only ever writes its own objects there. Garbage records (of types whose records hold
// no pointer) are mixed in. After the
// stream, render commands 0 to 4 run against whatever exists, the manager is destroyed,
// and no object of the layer may be left alive.
#include "foundation/memory/memory_globals.h"
#include "fuzz/fuzz_support.h"
#include "platform/d3d11/d3d11_headless.h"
#include "render/commands/command_buffer.h"
#include "render/d3d11/d3d_resource_manager.h"

#include <cstdlib>
#include <cstring>
#include <vector>

using namespace tallow;
using namespace tallow::render::d3d11;

namespace {

struct Bytes {
    const u8 *data;
    size_t size;
    size_t at = 0;
    u8 byte() { return at < size ? data[at++] : 0; }
    u32 word()
    {
        u32 w = 0;
        for (int i = 0; i < 4; ++i)
            w |= u32(byte()) << (8 * i);
        return w;
    }
    bool done() const { return at >= size; }
};

// Large enough for every description the decoder can make (64 x 64 x 16 bytes x 8 faces,
// with mips; 256 elements of 255 bytes).
alignas(16) u8 texels[1 << 20];

const u8 code_a[] = {1, 2, 3, 4};
const u8 code_b[] = {1, 2, 3};

RenderResourceHandle handle_from(Bytes &in, u32 kind)
{
    const u8 b = in.byte();
    const u32 index = b & 31;
    // Mostly the right kind; now and then any kind, or the invalid handle.
    if (b >= 0xF0)
        return invalid_render_handle;
    return make_render_handle(b >= 0xE0 ? (b & 15) : kind, index);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    Allocator &a = default_allocator();
    static const bool configured = [] {
        tallow::d3d11::HeadlessConfig config = tallow::d3d11::default_headless_config();
        config.journal = false;
        tallow::d3d11::headless_configure(config);
        return true;
    }();
    (void)configured;
    tallow::d3d11::headless_clear_diagnostics();

    ID3D11Device *device = nullptr;
    ID3D11DeviceContext *immediate = nullptr;
    D3D_FEATURE_LEVEL level;
    const D3D_FEATURE_LEVEL levels[] = {size && (data[0] & 1) ? D3D_FEATURE_LEVEL_10_0 : D3D_FEATURE_LEVEL_11_0};
    if (FAILED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, levels, 1, D3D11_SDK_VERSION,
                                 &device, &level, &immediate)))
        return 0;

    D3DResourceManagerParams params;
    params.device = device;
    params.immediate = immediate;
    params.feature_level = level;
    auto *manager = make_new<D3DResourceManager>(a, a, params);

    Bytes in{data, size};
    CommandBuffer stream(a, 4096);
    std::vector<RenderTarget *> targets;
    ShaderPassDesc passes[2];
    passes[0].stages[u32(DescStage::vertex)] = {code_a, sizeof code_a, nullptr, 0, nullptr, 0, nullptr};
    passes[0].stages[u32(DescStage::hull)] = {code_b, sizeof code_b, nullptr, 0, nullptr, 0, nullptr};
    passes[1].stages[u32(DescStage::pixel)] = {code_b, sizeof code_b, nullptr, 0, nullptr, 0, nullptr};
    const ShaderDesc shader_desc{passes, 2, 0};
    std::vector<ShaderResourceRecord> shaders(32);

    while (!in.done() && stream.write_offset() < 60000) {
        const u8 op = in.byte() % 14;
        switch (op) {
        case 0:
        case 4: {
            UpdateCreateBuffer record{};
            const bool vertex = op == 0;
            record.description.resource = {in.byte() & 1 ? RenderResourceType::VertexBuffer
                                                          : RenderResourceType::IndexBuffer,
                                           handle_from(in, vertex ? 5 : 6)};
            record.description.mode = in.byte() & 2;
            record.description.element_count = in.byte();
            record.description.element_size = in.byte();
            record.data = in.byte() & 1 ? texels : nullptr;
            stream.write(op, &record, sizeof record);
            break;
        }
        case 2: {
            VertexDeclaration declaration;
            u8 raw[sizeof declaration];
            for (u8 &b : raw)
                b = in.byte() & 0x13; // small values, so some declarations are valid
            memcpy(&declaration, raw, sizeof declaration);
            declaration.resource = {RenderResourceType::VertexDeclaration, handle_from(in, 8)};
            declaration.channel_count = in.byte() % 20;
            stream.write(2, &declaration, sizeof declaration);
            break;
        }
        case 6: {
            ShaderResourceRecord &shader = shaders[in.byte() & 31];
            shader.resource.handle = handle_from(in, 9);
            shader.desc = in.byte() & 7 ? &shader_desc : nullptr;
            UpdateCreateShader record{&shader.resource, shader.resource.handle};
            stream.write(6, &record, sizeof record);
            break;
        }
        case 8: {
            auto *target = make_new<RenderTarget>(a, a, in.byte() & 1 ? RenderResourceType::RenderTarget
                                                                     : RenderResourceType::BackBuffer);
            target->handle = handle_from(in, 1);
            target->window_index = 0;
            target->description = {u32(in.byte() % 17), u32(in.byte() % 3), u32(in.byte() % 65),
                                   u32(in.byte() % 65), 1, 1};
            target->array_size = in.byte() % 9;
            target->multisampled = in.byte() & 1;
            target->sample_count = in.byte() % 5;
            targets.push_back(target);
            UpdateCreateRenderTarget record{target, target->handle};
            stream.write(8, &record, sizeof record);
            break;
        }
        case 10: {
            UpdateTexture record;
            record.type = in.byte() & 0x40 ? RenderResourceType(in.byte() % 10) : RenderResourceType::Texture;
            record.handle = handle_from(in, 0);
            record.description = {u32(in.byte() % 17), u32(in.byte() % 4), u32(in.byte() % 65),
                                  u32(in.byte() % 65), u32(in.byte() % 9), u32(in.byte() % 9)};
            const u32 pointers = in.byte() % 80;
            record.data_count = in.byte() & 0x80 ? in.word() : pointers;
            record.data_offset = in.byte() & 0x80 ? in.word() : u32(sizeof record);
            std::vector<u8> payload(sizeof record + pointers * sizeof(const void *));
            memcpy(payload.data(), &record, sizeof record);
            for (u32 i = 0; i < pointers; ++i) {
                const void *p = texels;
                memcpy(payload.data() + sizeof record + i * sizeof p, &p, sizeof p);
            }
            stream.write(10, payload.data(), u32(payload.size()));
            break;
        }
        case 12: {
            // Any bytes under a type whose record holds no pointer; the header's size may be
            // a lie. The create records of buffers, shaders, targets and textures (the
            // even types below 12 but 2) start with or hold object pointers, which the
            // front end only ever fills with its own objects: random bytes there crash the
            // harness, not the manager. A lying size can make the next header start inside
            // these bytes, so no 4-byte word of them names such a type either.
            const auto without_pointers = [](u32 type) {
                const bool holds_pointers = type < resource_update_type_count && (type & 1) == 0 &&
                                            type != u32(ResourceUpdate::CreateVertexDeclaration);
                return holds_pointers ? type | 1 : type; // the release record of the same kind
            };
            u8 raw[32];
            for (u8 &b : raw)
                b = in.byte();
            for (u32 i = 0; i < sizeof raw; i += 4) {
                u32 word;
                memcpy(&word, raw + i, 4);
                word = without_pointers(word);
                memcpy(raw + i, &word, 4);
            }
            const u32 type = without_pointers(in.byte() % 16);
            u32 record_at = 0;
            stream.write(type, raw, in.byte() % 33, &record_at);
            if (in.byte() & 1) {
                CommandHeader header;
                memcpy(&header, stream.at(record_at), sizeof header);
                header.size = in.word();
                header.payload_offset = in.byte();
                memcpy(stream.at(record_at), &header, sizeof header);
                // Executed at once, so whatever the size makes of the bytes after the
                // header, they are these bytes: no later record is read from a place
                // that is not its start.
                manager->process(stream);
                stream.reset();
            }
            break;
        }
        case 13: {
            manager->process(stream);
            stream.reset();
            break;
        }
        default: {
            UpdateRelease record{RenderResourceType(in.byte() % 11), handle_from(in, in.byte() % 10)};
            stream.write(op | 1, &record, sizeof record);
            break;
        }
        }
    }
    manager->process(stream);

    // Render commands against whatever exists now.
    for (u32 i = 0; i < 16 && !in.done(); ++i) {
        CommandCopyTarget copy{handle_from(in, in.byte() & 1), handle_from(in, in.byte() & 1), {}};
        for (u32 &b : copy.box)
            b = in.byte() % 80;
        manager->copy_texture_region(immediate, copy);
        UpdateCreateBuffer update{};
        update.description.resource = {RenderResourceType::VertexBuffer, handle_from(in, 5 + (in.byte() & 1))};
        update.description.element_count = in.byte();
        update.description.element_size = in.byte();
        update.data = texels;
        manager->update_resource(immediate, in.byte() & 1, reinterpret_cast<const u8 *>(&update), sizeof update);
    }

    delete_with_allocator(a, manager);
    for (RenderTarget *t : targets)
        delete_with_allocator(a, t);
    u32 live = 0;
    for (u32 k = u32(tallow::d3d11::ObjectKind::buffer); k < u32(tallow::d3d11::ObjectKind::debug); ++k)
        live += tallow::d3d11::headless_live_count(tallow::d3d11::ObjectKind(k));
    immediate->Release();
    device->Release();
    if (live != 0)
        abort(); // the manager left objects of the layer alive
    for (const tallow::d3d11::Diagnostic &d : tallow::d3d11::headless_diagnostics())
        if (d.rule == tallow::d3d11::Rule::view_out_of_range || d.rule == tallow::d3d11::Rule::view_dimension_mismatch)
            abort(); // the creator asked for a view that does not fit the resource it made
    return 0;
}
