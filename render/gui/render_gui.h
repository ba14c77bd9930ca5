#pragma once
// The render side of a Gui: its primitives kept in vertex batches, one per (layer,
// material), drawn one batch per draw call from the render job.
//
//   RenderGui *g = make_new<RenderGui>(a, a, settings);    // game side (Gui does this)
//   ... render thread: gui messages arrive through apply_message ...
//   g->render(draw_params);
//
// A primitive rewritten with the same vertex count, layer and material is overwritten in
// place; otherwise its bytes leave its batch (later primitives of the batch move down) and
// the new vertices are appended to the batch of their layer and material. No vertices:
// the primitive is destroyed. Batches are drawn in the order they were made, each with an
// order value from its layer (layers are clamped to 0 .. 1000): screen guis
// ((1000 - layer) x 0.001) x 0.1, world guis ((1000 - layer) x 0.001 + 1) x 0.1.
//
// Messages (a world's update stream, class Gui): kind 0 a primitive (GuiPrimitiveHeader and
// its vertices), kind 1 new settings (GuiSettingsMessage), kind 2 a material the gui's
// primitives name by index (GuiMaterialMessage). Messages that do not fit their payload are
// dropped (logged).
//
// Render thread only, after construction.

#include "foundation/containers/array.h"
#include "foundation/containers/hash_map.h"
#include "render/resources/render_resource.h"
#include "render/shaders/shader_manager.h"
#include "render/world/render_draw.h"
#include "render/world/render_object.h"

namespace tallow {

struct MaterialEntry;
class RenderMaterial;

/// One gui vertex: the gui plane is x-z (facing -y); a script position (x, y, z) is the
/// vertex (x, z, y).
struct GuiVertex {
    f32 x, y, z;
    f32 nx, ny, nz;
    u32 color;
    f32 u, v;
};
static_assert(sizeof(GuiVertex) == 36);

/// A gui's settings: what it was made with and where it is now.
struct GuiSettings {
    u32 screen = 1;               // 1 screen gui, 0 world gui
    u32 resolution[2] = {0, 0};   // back-buffer size last seen (screen guis)
    f32 position[2] = {0, 0};     // screen guis: origin in pixels
    u32 follow_width = 0;         // "dock_right": the position follows width changes
    u32 follow_height = 0;        // "dock_top": the position follows height changes
    f32 pose[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}; // world guis
    f32 width = 0, height = 0;    // world guis: gui units per pose unit (> 0)
    f32 scale[2] = {1, 1};        // screen guis: pixels per gui unit
    u32 immediate = 0;            // accepted option; no effect of its own
};
static_assert(sizeof(GuiSettings) == 28 * 4);

constexpr u32 gui_primitive_kind = 0;
constexpr u32 gui_settings_kind = 1;
constexpr u32 gui_material_kind = 2;
constexpr u32 no_gui_material = 0xFFFFFFFFu;
constexpr u32 max_gui_layer = 1000;

struct GuiPrimitiveHeader {
    u32 class_id;        // RenderObjectClass::Gui
    u32 gui;             // render handle
    u32 id;              // primitive id
    i32 layer;
    u32 vertex_count;    // a multiple of 3; 0 destroys the primitive
    u32 vertices_offset; // sizeof(GuiPrimitiveHeader)
    u32 material;        // index of a material message, or no_gui_material
};
static_assert(sizeof(GuiPrimitiveHeader) == 28);

struct GuiSettingsMessage {
    u32 class_id;
    u32 gui;
    GuiSettings settings;
};

/// Names the material entry of `index`; the entry lives in a "material" resource the gui's
/// world keeps loaded while the gui lives.
struct GuiMaterialMessage {
    u32 class_id;
    u32 gui;
    u32 index;
    u32 spare;
    const MaterialEntry *entry;
};
static_assert(sizeof(GuiMaterialMessage) == 24);

/// The order value of a batch of `layer` (clamped to 0 .. max_gui_layer).
f32 gui_order_value(i32 layer, bool screen);

class RenderGui final : public RenderObject {
  public:
    struct Batch {
        explicit Batch(Allocator &a) : vertices(a), primitives(a) {}
        i32 layer = 0;
        u32 material = no_gui_material;
        BufferDescription vertex_buffer;
        Array<u8> vertices; // GuiVertex records
        u32 vertex_count = 0;
        u32 triangle_count = 0;
        Array<u32> primitives; // ids, in vertex order
        bool changed = false;
        f32 order = 0;
    };
    struct Primitive {
        i32 layer;
        u32 material;
        u32 batch;
        u32 offset_bytes;
        u32 size_bytes;
    };

    RenderGui(Allocator &allocator, const GuiSettings &settings);
    ~RenderGui() override;

    void destroy_resources(RenderResourceContext *context) override; // See RenderObject
    void apply_message(u32 kind, const u8 *payload, u32 payload_bytes) override; // See RenderObject
    void refresh_shaders() override;                                             // See RenderObject

    /// Takes primitive `id` (see the header comment).
    void apply_primitive(u32 id, i32 layer, u32 vertex_count, const u8 *vertices, u32 material);
    /// Draws every batch (see the header comment). Returns the draws made.
    u32 render(const RenderDrawParams &params);

    const GuiSettings &settings() const { return _settings; }
    u32 batch_count() const { return _batches.size(); }
    const Batch &batch(u32 i) const { return *_batches[i]; }
    /// The primitive's record, or null.
    const Primitive *primitive(u32 id) const;
    /// Checks the batch and primitive records against each other; for tests.
    bool validate() const;

  private:
    static u64 batch_key(i32 layer, u32 material) { return u64(u32(layer)) << 32 | material; }
    void remove_primitive(u32 id, const Primitive &record);
    Batch *batch_for(i32 layer, u32 material, u32 &out_index);
    const ShaderContext *material_context(u32 material, const RenderDrawParams &params);
    Matrix4x4 projection_for(const RenderDrawParams &params, Matrix4x4 &out_world, Matrix4x4 &out_view);

    struct Material {
        const MaterialEntry *entry = nullptr;
        RenderMaterial *render = nullptr;
    };

    Allocator &_allocator;
    GuiSettings _settings;
    Array<Batch *> _batches;
    Array<u32> _new_batches; // made since the last draw
    HashMap<u64, u32> _batch_of;      // (layer, material) -> batch index
    HashMap<u32, Primitive> _primitives;
    Array<Material> _materials;
    VertexDeclaration _declaration;
    ShaderContext _shader;
    bool _has_template = false;
};

} // namespace tallow
