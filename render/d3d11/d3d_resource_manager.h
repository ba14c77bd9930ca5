#pragma once
// Owns every Direct3D object behind a render resource of the front end. The front end
// files create and release records in resource-update streams; the device hands each
// stream to `process` on the render thread, and the manager makes or destroys the objects
// under the records' handles: textures, render targets (plain, dependent, back buffers),
// vertex and index buffers, vertex declarations and shaders. The draw code finds them by
// handle, and reaches the shared state, shader and input-layout caches through `caches`.
//
//   D3DResourceManagerParams params;
//   params.device = device;                 // ID3D11Device, immediate context, level
//   params.immediate = immediate;
//   params.feature_level = level;
//   params.front_end = &render_device;      // window targets, dependent sizes
//   params.swap_chain = [](void *user, u32 index) { ... };  // back buffers
//   D3DResourceManager manager(allocator, params);
//   manager.process(resource_context.stream());       // creates and releases
//   const TextureRecord *texture = manager.texture(handle);
//   ...
//   // destroying the manager releases everything it still holds
//
// Every record read from a stream is checked: a payload shorter than its record, a type
// that does not match the record, a handle of the wrong kind, a release of a handle that
// holds nothing, a description the device cannot make. A bad record is logged and skipped
// and the stream goes on; a record that does not fit the stream ends it. A create for a
// handle that still holds objects releases them first. Render thread only, except the
// input-layout cache and the copy cache.

#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/types.h"
#include "platform/d3d11/d3d11_shim.h"
#include "render/d3d11/d3d_geometry_creator.h"
#include "render/d3d11/d3d_object_caches.h"
#include "render/d3d11/d3d_render_target_copy_cache.h"
#include "render/d3d11/d3d_shader.h"
#include "render/d3d11/d3d_texture_creator.h"
#include "render/commands/command_buffer.h"
#include "render/commands/render_records.h"

namespace tallow {
class CommandBuffer;
class RenderDevice;
} // namespace tallow

namespace tallow::render::d3d11 {

struct D3DResourceManagerParams {
    ID3D11Device *device = nullptr;
    ID3D11DeviceContext *immediate = nullptr; ///< clears of new targets
    D3D_FEATURE_LEVEL feature_level = D3D_FEATURE_LEVEL_11_0;
    /// Window target lists and dependent-target sizes; null: dependent targets keep the
    /// description they carry and no window has flagged targets.
    RenderDevice *front_end = nullptr;
    /// The swap chain of a back buffer's index (no reference added); null when none.
    IDXGISwapChain *(*swap_chain)(void *user, u32 index) = nullptr;
    void *swap_chain_user = nullptr;
    /// Fills the state objects and stage constant buffers of shader passes; may be null.
    IRenderStateBuilder *states = nullptr;
};

/// What one stream did, for the caller's statistics and for tests.
struct ProcessResult {
    u32 executed = 0; ///< records acted on
    u32 skipped = 0;  ///< records logged and skipped
    bool truncated = false; ///< a record did not fit and ended the stream
};

class D3DResourceManager {
  public:
    /// Everything the manager makes comes from its trace allocator "D3DResourceManager"
    /// over `parent`. The device in `params` must outlive the manager.
    D3DResourceManager(Allocator &parent, const D3DResourceManagerParams &params);
    /// Releases every object still held, then the caches.
    ~D3DResourceManager();
    D3DResourceManager(const D3DResourceManager &) = delete;
    D3DResourceManager &operator=(const D3DResourceManager &) = delete;

    /// Executes the records of one resource-update stream in order.
    ProcessResult process(const CommandBuffer &stream);
    ProcessResult process(const u8 *data, u32 begin, u32 end);

    /// Makes (or makes again) the objects of a render target of type 1, 2 or 3 under its
    /// handle; a new target is cleared. False when nothing was made (logged).
    bool create_render_target(RenderTarget &target);
    /// As above under `handle` (a create record carries the handle the object had when
    /// the record was written).
    bool create_render_target(RenderTarget &target, RenderResourceHandle handle);
    /// Releases the objects under `handle`; false when it held nothing of `type` (logged).
    bool release(RenderResourceType type, RenderResourceHandle handle);
    /// Releases, or creates with no initial data, each target in turn. The device calls
    /// them around a swap-chain resize for the back buffers and their dependants.
    void release_all(const Array<RenderTarget *> &targets);
    void create_all(const Array<RenderTarget *> &targets);

    /// Render commands 0 to 3 on `context`: new data for a vertex buffer, index buffer or
    /// texture. `payload` is the command's payload; a bad one is logged and ignored.
    void update_resource(ID3D11DeviceContext *context, u32 command_type, const u8 *payload, u32 payload_size);
    /// Render command 4: copies a box of the source's first subresource to the
    /// destination's at (0, 0, 0). Textures and render targets on either side; the box
    /// (all zero: the whole) is clamped to both. Nothing happens for unknown handles.
    void copy_texture_region(ID3D11DeviceContext *context, const CommandCopyTarget &copy);
    /// After presenting `window`: clears its depth targets, and the colour targets that
    /// are multisampled or flagged "hint_needs_clearing" and not "suppress_clear".
    void clear_flagged_targets(ID3D11DeviceContext *context, u32 window);
    /// A draw's (vertex shader, input layout) for a declaration: the declaration keeps
    /// the layout's cache reference, or gives it back when it already holds the pair.
    void note_input_layout(RenderResourceHandle declaration, ID3D11VertexShader *vertex_shader,
                           ID3D11InputLayout *layout);

    /// The objects under a handle; null when it holds none of that kind.
    const TextureRecord *texture(RenderResourceHandle handle) const;
    const RenderTargetRecord *render_target(RenderResourceHandle handle) const;
    const BufferRecord *vertex_buffer(RenderResourceHandle handle) const;
    const BufferRecord *index_buffer(RenderResourceHandle handle) const;
    const VertexDeclarationRecord *vertex_declaration(RenderResourceHandle handle) const;
    const D3DShader *shader(RenderResourceHandle handle) const;

    /// Resources alive of a type (render target types 1 to 3 counted apart).
    u32 live_count(RenderResourceType type) const;
    /// Table slot of a live handle, or 0xFFFFFFFF; tests check slot reuse with it.
    u32 slot_of(RenderResourceHandle handle) const;

    D3DObjectCaches &caches() { return _caches; }
    D3DRenderTargetCopyCache &copy_cache() { return _copy_cache; }
    D3DTextureCreator &texture_creator() { return _texture_creator; }
    D3DGeometryCreator &geometry_creator() { return _geometry_creator; }
    TraceAllocator &allocator() { return _allocator; }

  private:
    struct HandleEntry {
        u32 slot = 0xFFFFFFFFu;
        u8 type = 0xFF; // RenderResourceType of the live resource, 0xFF: none
    };
    enum class Table : u32 { texture, target, vertex_buffer, index_buffer, declaration, shader, count };

    static Table table_of(RenderResourceType type);
    bool execute(const CommandView &record);
    HandleEntry *live_entry(RenderResourceHandle handle, Table table);
    const HandleEntry *live_entry(RenderResourceHandle handle, Table table) const;
    /// Takes a slot in `table` for `handle` (releasing what the handle held); 0xFFFFFFFF
    /// when memory ran out.
    u32 take_slot(RenderResourceHandle handle, RenderResourceType type);
    void free_slot(RenderResourceHandle handle, Table table);
    bool create_texture(RenderResourceHandle handle, const TextureDesc &desc, const void *const *data, u32 count);
    bool create_buffer(const BufferDescription &description, const void *data);
    bool create_vertex_declaration(const VertexDeclaration &declaration);
    bool create_shader(const RenderResource *resource, RenderResourceHandle handle);
    void release_slot(Table table, u32 slot);
    void clear_new_target(const RenderTargetRecord &record);
    ID3D11Resource *copy_resource_of(RenderResourceHandle handle, u32 &out_width, u32 &out_height) const;

    TraceAllocator _allocator;
    D3DResourceManagerParams _params;
    D3DObjectCaches _caches;
    D3DTextureCreator _texture_creator;
    D3DGeometryCreator _geometry_creator;
    D3DRenderTargetCopyCache _copy_cache;

    Array<HandleEntry> _handles; // by handle index
    Array<TextureRecord> _textures;
    Array<RenderTargetRecord> _targets;
    Array<BufferRecord> _vertex_buffers;
    Array<BufferRecord> _index_buffers;
    Array<VertexDeclarationRecord> _declarations;
    Array<D3DShader *> _shaders;
    Array<u32> _free_slots[u32(Table::count)];
    u32 _live[10] = {}; // by resource type
    u32 _target_serial = 0; // of the last render target made
};

} // namespace tallow::render::d3d11
