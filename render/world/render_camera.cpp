#include "render/world/render_camera.h"

#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "render/world/render_scene_graph.h"
#include "render/world/render_state_queue.h"
#include "render/world/render_world.h"
#include "render/world/world_render_link.h"

#include <cstring>

namespace tallow {

Matrix4x4 camera_projection(const CameraBlock &b, f32 aspect)
{
    if (b.projection_type == camera_perspective)
        return perspective_projection(b.vertical_fov, aspect, b.near_range, b.far_range);
    return orthographic_projection(b.ortho_left, b.ortho_right, b.ortho_bottom, b.ortho_top, aspect, b.near_range,
                                   b.far_range);
}

RenderCamera::RenderCamera(const CameraBlock &block, u32 scene_graph, u32 node)
    : RenderObject(RenderObjectClass::Camera), _graph_handle(scene_graph), _node(node), _block(block)
{
}

void RenderCamera::apply_message(u32 kind, const u8 *payload, u32 payload_bytes)
{
    if (kind != 0)
        return;
    CameraUpdateRecord record;
    if (payload_bytes < sizeof record) {
        log_message("render", "camera record of %u bytes is too short; dropped", payload_bytes);
        return;
    }
    memcpy(&record, payload, sizeof record);
    _block = record.block;
}

void RenderCamera::resolve(const RenderWorld &world)
{
    _graph = scene_graph_of(world, _graph_handle);
}

void RenderCamera::compute_frustum(f32 width, f32 height, f32 aspect)
{
    _width = width;
    _height = height;
    if (aspect == -1.0f)
        aspect = height > 0 ? width / height : 1.0f;
    _aspect = aspect;
    if (const Matrix4x4 *node = node_world(_graph, _node))
        _pose = *node;
    _view = rigid_inverse(_pose);
    _projection = camera_projection(_block, aspect);
    _view_projection = _view * _projection;
    _planes = frustum_planes(_view_projection);
}

// --- Game side ----------------------------------------------------------------------------------

u32 Camera::create(RenderWorld &world, WorldRenderLink &link, u32 scene_graph_handle)
{
    if (_handle != 0xFFFFFFFFu)
        return _handle;
    RenderCamera *camera = make_new<RenderCamera>(world.allocator(), _block, scene_graph_handle, _node);
    if (!camera) {
        log_message("render", "no memory for a RenderCamera");
        return _handle;
    }
    world.create_object(link, _handle, camera);
    if (_handle != 0xFFFFFFFFu)
        _link = &link;
    return _handle;
}

void Camera::destroy(RenderWorld &world, WorldRenderLink &link)
{
    world.destroy_object(link, _handle);
    _link = nullptr;
}

void Camera::set_near_range(f32 near_range)
{
    _block.near_range = near_range;
    send_update();
}

void Camera::set_far_range(f32 far_range)
{
    _block.far_range = far_range;
    send_update();
}

void Camera::set_vertical_fov(f32 radians)
{
    _block.vertical_fov = radians;
    send_update();
}

void Camera::set_projection_type(u32 type)
{
    _block.projection_type = type;
    send_update();
}

void Camera::set_orthographic_view(f32 left, f32 right, f32 bottom, f32 top)
{
    _block.ortho_left = left;
    _block.ortho_right = right;
    _block.ortho_bottom = bottom;
    _block.ortho_top = top;
    send_update();
}

void Camera::send_update()
{
    if (!_link || _handle == 0xFFFFFFFFu || !_link->state())
        return;
    CameraUpdateRecord record;
    record.handle = _handle;
    record.block = _block;
    if (!_link->state()->update_stream(0).write(0, record))
        log_message("render", "no room for the settings record of camera %u", _handle);
}

} // namespace tallow
