#pragma once
// The base of every render-thread object a RenderWorld holds, and the class ids that
// address them in state records.
//
//   class RenderThing final : public RenderObject {
//     public:
//       RenderThing() : RenderObject(RenderObjectClass::MeshObject) {}
//       void apply_message(u32 kind, const u8 *payload, u32 payload_bytes) override;
//   };
//
// A render object is constructed on the game side (from the RenderWorld's allocator),
// then owned by the render thread from the moment its create record is applied until its
// destroy record is; only the render thread calls its virtual functions.

#include "foundation/types.h"

namespace tallow {

class RenderResourceContext;

/// Class ids of render objects, fixed in this order: every state record starts with the
/// addressee's class id and handle.
enum class RenderObjectClass : u32 {
    World = 0, // records addressed to the world itself: create and destroy
    SceneGraph,
    MeshObject,
    Camera,
    LineObjectDrawer,
    Material,
    Light,
    ParticleWorld,
    Gui,
    Viewport,
    ShadingEnvironment,
    LODObject,
    Count,
};
constexpr u32 render_object_class_count = u32(RenderObjectClass::Count);

/// The class's type name ("RenderSceneGraph"), or "unknown" for an id outside the table.
const char *to_string(RenderObjectClass render_class);

class RenderObject {
  public:
    explicit RenderObject(RenderObjectClass render_class) : _class_id(u32(render_class)) {}
    virtual ~RenderObject() = default;
    RenderObject(const RenderObject &) = delete;
    RenderObject &operator=(const RenderObject &) = delete;

    /// Creates the object's device resources through `context` (null when applied
    /// without one). Render thread; the default has none.
    virtual void create_resources(RenderResourceContext *context) { (void)context; }
    /// Releases what create_resources made. Render thread.
    virtual void destroy_resources(RenderResourceContext *context) { (void)context; }
    /// Applies a class-addressed record the world has no dedicated handler for. The
    /// payload starts with the class id and handle; it is only 4-aligned. Render thread.
    virtual void apply_message(u32 kind, const u8 *payload, u32 payload_bytes);
    /// Instantiates the object's shader contexts again after the render configuration's
    /// shaders or templates changed (ShaderContext::refresh). Render thread; the default
    /// has none.
    virtual void refresh_shaders() {}

    u32 class_id() const { return _class_id; }

  private:
    u32 _class_id;
};

} // namespace tallow
