#include "render/world/render_draw.h"

#include "render/gui/render_gui.h"
#include "render/lines/render_line_object_drawer.h"

namespace tallow {

Matrix4x4 pixel_projection(f32 width, f32 height, f32 origin_x, f32 origin_y, f32 scale_x, f32 scale_y,
                           f32 depth_scale, f32 depth_offset)
{
    Matrix4x4 m = {};
    // Rows act on row vectors (x, depth, y, 1): x to clip x, y to clip y, depth to clip depth.
    f32 w = width > 0 ? width : 1.0f;
    f32 h = height > 0 ? height : 1.0f;
    m.m[0][0] = 2.0f * scale_x / w;
    m.m[2][1] = 2.0f * scale_y / h;
    m.m[1][2] = depth_scale;
    m.m[3][0] = 2.0f * origin_x / w - 1.0f;
    m.m[3][1] = 2.0f * origin_y / h - 1.0f;
    m.m[3][2] = depth_offset;
    m.m[3][3] = 1.0f;
    return m;
}

bool render_unculled_object(RenderObject &object, const RenderDrawParams &params)
{
    switch (RenderObjectClass(object.class_id())) {
    case RenderObjectClass::LineObjectDrawer:
        static_cast<RenderLineObjectDrawer &>(object).render(params);
        return true;
    case RenderObjectClass::Gui:
        static_cast<RenderGui &>(object).render(params);
        return true;
    default:
        return false;
    }
}

} // namespace tallow
