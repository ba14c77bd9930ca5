#pragma once
// Lights: the game side's Light (owns the render handle, sends its 40-byte block) and the
// render thread's RenderLight, whose record in the world's light set carries its bounds.
//
//   Light lamp(block, node);                                   // main thread
//   lamp.create(render_world, link, graph.render_handle_field());
//   lamp.set_falloff_end(12.0f);                               // a kind-0 record, update stream 0
//   lamp.destroy(render_world, link);
//
// Bounds in the light's node space: an omni light is the cube of half size falloff end; a
// spot light (pointing along y) the box (-h, 0, -h) to (h, end, h) with h = tan(angle / 2)
// x end. They are recomputed whenever the type, the falloff end or the spot angle changes.

#include "foundation/math/matrix4x4.h"
#include "render/world/render_object.h"

namespace tallow {

class RenderRecordSet;
class RenderSceneGraph;
class RenderWorld;
class WorldRenderLink;

constexpr u32 light_omni = 0;
constexpr u32 light_spot = 1;
constexpr u32 light_directional = 2; // lights everything: never culled

/// A light's properties (the block levels and scripts set).
struct LightBlock {
    f32 color[3] = {1.0f, 1.0f, 1.0f};
    f32 falloff_start = 0.0f;
    f32 falloff_end = 8.0f;
    f32 word6 = 1.0f;         // read by the shading code
    f32 word7 = 0.0f;         // read by the shading code
    f32 spot_angle = 3.1415f; // radians
    f32 word9 = 0.0f;         // read by the shading code
    u32 type = light_omni;
};
static_assert(sizeof(LightBlock) == 40);

/// Payload of a light's properties record (kind 0, class Light) in update stream 0.
struct LightUpdateRecord {
    u32 class_id = u32(RenderObjectClass::Light);
    u32 handle = 0xFFFFFFFFu;
    LightBlock block;
};
static_assert(sizeof(LightUpdateRecord) == 48);

/// The local bounds of `block`; false for a type that has none (the bounds are left). A
/// directional light's reach everything: +-light_unbounded_extent on every axis.
bool light_bounds(const LightBlock &block, f32 out_min[3], f32 out_max[3]);
/// Half the side of a directional light's box: past any world, finite for the matrix math.
constexpr f32 light_unbounded_extent = 1.0e18f;
/// The kind of a light's record: a directional light is never culled.
u32 light_record_kind(const LightBlock &block);

class RenderLight final : public RenderObject {
  public:
    RenderLight(const LightBlock &block, u32 scene_graph, u32 node);

    /// Resolves the scene graph and files the light's record (kind 1) in `lights`.
    void on_create(const RenderWorld &world, RenderRecordSet &lights, u32 slot);
    /// Applies a kind-0 LightUpdateRecord: new bounds into the light's record in `lights`
    /// when type, end or angle changed, then the block. Other kinds are ignored.
    void apply(u32 kind, const u8 *payload, u32 payload_bytes, RenderRecordSet &lights, u32 slot);

    const LightBlock &block() const { return _block; }
    const RenderSceneGraph *scene_graph() const { return _graph; }
    u32 node() const { return _node; }
    /// The node's world matrix (identity without one).
    Matrix4x4 world() const;

  private:
    u32 _graph_handle;
    u32 _node;
    const RenderSceneGraph *_graph = nullptr;
    LightBlock _block;
};

/// The game side's light. Main thread.
class Light {
  public:
    explicit Light(const LightBlock &block = {}, u32 node = 0xFFFFFFFFu) : _block(block), _node(node) {}

    /// Makes the RenderLight; its handle, or 0xFFFFFFFF (logged).
    u32 create(RenderWorld &world, WorldRenderLink &link, u32 scene_graph_handle);
    void destroy(RenderWorld &world, WorldRenderLink &link);

    /// Replaces the whole block (a level's light override).
    void set_properties(const LightBlock &block);
    void set_falloff_start(f32 start);
    void set_falloff_end(f32 end);
    void set_color(f32 r, f32 g, f32 b);
    void set_spot_angle(f32 radians);
    /// light_omni or light_spot.
    void set_type(u32 type);
    void send_update();

    const LightBlock &block() const { return _block; }
    u32 node() const { return _node; }
    u32 handle() const { return _handle; }

  private:
    LightBlock _block;
    u32 _node;
    u32 _handle = 0xFFFFFFFFu;
    WorldRenderLink *_link = nullptr;
};

} // namespace tallow
