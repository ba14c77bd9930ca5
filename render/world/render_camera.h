#pragma once
// Cameras: the game side's Camera (owns the render handle, sends its settings) and the
// render thread's RenderCamera (projection, view and frustum of the frame).
//
//   Camera camera(block, node);                           // game side, main thread
//   camera.create(render_world, link, graph.render_handle_field());
//   camera.set_vertical_fov(0.9f);                        // a kind-0 record in update stream 0
//   ...                                                   // render thread, each rendered frame:
//   render_camera->compute_frustum(1280, 720, -1.0f);     // aspect -1: width / height
//   if (box_in_frustum(render_camera->planes(), world, min, max)) ...
//   camera.destroy(render_world, link);
//
// Convention: render/math/camera_math.h (row vectors, z up, the camera looks along y).
// A camera follows the world matrix of its node in its unit's RenderSceneGraph; a camera
// without a node (or whose node the graph lacks) keeps the pose it was given.

#include "foundation/math/matrix4x4.h"
#include "render/math/camera_math.h"
#include "render/world/render_object.h"

namespace tallow {

class RenderSceneGraph;
class RenderWorld;
class WorldRenderLink;

/// Projection types.
constexpr u32 camera_orthographic = 0;
constexpr u32 camera_perspective = 1;

/// A camera's settings, as sent to the render side.
struct CameraBlock {
    f32 near_range = 0.1f;
    f32 far_range = 1000.0f;
    f32 vertical_fov = 1.22f; // radians
    f32 ortho_left = 0, ortho_right = 0, ortho_bottom = 0, ortho_top = 0;
    u32 projection_type = camera_perspective;
};
static_assert(sizeof(CameraBlock) == 32);

/// Payload of a camera's settings record (kind 0, class Camera) in update stream 0.
struct CameraUpdateRecord {
    u32 class_id = u32(RenderObjectClass::Camera);
    u32 handle = 0xFFFFFFFFu;
    CameraBlock block;
};
static_assert(sizeof(CameraUpdateRecord) == 40);

/// No scene-graph node.
constexpr u32 no_scene_node = 0xFFFFFFFFu;

class RenderCamera final : public RenderObject {
  public:
    /// `scene_graph` is the render handle of the unit's RenderSceneGraph (resolved when the
    /// create record is applied), or 0xFFFFFFFF with `node` no_scene_node.
    RenderCamera(const CameraBlock &block, u32 scene_graph, u32 node);

    /// Kind 0: a CameraUpdateRecord (shorter payloads are dropped, logged); others ignored.
    void apply_message(u32 kind, const u8 *payload, u32 payload_bytes) override;
    /// Looks the scene graph up by handle; called when the create record is applied.
    void resolve(const RenderWorld &world);

    /// Takes the node's pose, then computes view, projection, view-projection and the six
    /// planes for a `width` x `height` target. `aspect` -1 means width / height (1 when the
    /// height is 0, so a minimised window still gives finite planes). Render thread.
    void compute_frustum(f32 width, f32 height, f32 aspect);

    const CameraBlock &block() const { return _block; }
    void set_block(const CameraBlock &block) { _block = block; }
    /// Pose for a camera without a node.
    void set_pose(const Matrix4x4 &pose) { _pose = pose; }
    const Matrix4x4 &pose() const { return _pose; }
    const Matrix4x4 &view() const { return _view; }
    const Matrix4x4 &projection() const { return _projection; }
    const Matrix4x4 &view_projection() const { return _view_projection; }
    const FrustumPlanes &planes() const { return _planes; }
    f32 aspect() const { return _aspect; }
    f32 width() const { return _width; }
    f32 height() const { return _height; }
    u32 scene_graph_handle() const { return _graph_handle; }
    u32 node() const { return _node; }

  private:
    u32 _graph_handle;
    u32 _node;
    const RenderSceneGraph *_graph = nullptr;
    CameraBlock _block;
    Matrix4x4 _view = matrix4x4_identity;
    Matrix4x4 _projection = matrix4x4_identity;
    Matrix4x4 _view_projection = matrix4x4_identity;
    Matrix4x4 _pose = matrix4x4_identity;
    FrustumPlanes _planes{};
    f32 _aspect = 1.0f;
    f32 _width = 0;
    f32 _height = 0;
};

/// The projection matrix of `block` at `aspect`: perspective for type 1, orthographic for
/// any other.
Matrix4x4 camera_projection(const CameraBlock &block, f32 aspect);

/// The game side's camera. Main thread.
class Camera {
  public:
    explicit Camera(const CameraBlock &block = {}, u32 node = no_scene_node) : _block(block), _node(node) {}

    /// Makes the RenderCamera (following node() of the scene graph `scene_graph_handle`).
    /// Returns its handle, or 0xFFFFFFFF (logged) when none could be made.
    u32 create(RenderWorld &world, WorldRenderLink &link, u32 scene_graph_handle);
    /// Destroys the render twin; the camera can be created again.
    void destroy(RenderWorld &world, WorldRenderLink &link);

    void set_near_range(f32 near_range);
    void set_far_range(f32 far_range);
    void set_vertical_fov(f32 radians);
    /// camera_perspective or camera_orthographic.
    void set_projection_type(u32 type);
    void set_orthographic_view(f32 left, f32 right, f32 bottom, f32 top);
    /// Sends the settings to the render twin (nothing before create).
    void send_update();

    const CameraBlock &block() const { return _block; }
    f32 near_range() const { return _block.near_range; }
    f32 far_range() const { return _block.far_range; }
    f32 vertical_fov() const { return _block.vertical_fov; }
    u32 projection_type() const { return _block.projection_type; }
    u32 node() const { return _node; }
    u32 handle() const { return _handle; }

  private:
    CameraBlock _block;
    u32 _node;
    u32 _handle = 0xFFFFFFFFu;
    WorldRenderLink *_link = nullptr;
};

} // namespace tallow
