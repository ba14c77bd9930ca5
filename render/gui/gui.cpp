#include "render/gui/gui.h"

#include "foundation/log.h"
#include "render/gui/font.h"
#include "render/materials/material_resource.h"
#include "render/world/render_state_queue.h"
#include "render/world/render_world.h"
#include "render/world/world_render_link.h"

#include <cfloat>
#include <cmath>
#include <cstring>

namespace tallow {

namespace {

constexpr NameId64 font_type("font");
constexpr NameId64 material_type("material");
/// Code points one text may lay out (6 vertices each); longer texts are cut.
constexpr u32 max_text_code_points = 65536;

} // namespace

Gui::Gui(Allocator &allocator, RenderWorld &render_world, WorldRenderLink &link, const ResourceLookup &resources,
         const GuiCreateParams &params)
    : _render_world(render_world), _link(link), _resources(resources),
      _settings(params.settings), _material_resources(allocator), _materials(allocator), _held(allocator)
{
    for (u32 i = 0; i < params.material_count; ++i)
        _material_resources.push_back(params.materials[i]);
    RenderGui *render = make_new<RenderGui>(render_world.allocator(), render_world.allocator(), _settings);
    if (render)
        render_world.create_object(link, _render_handle, render);
    else
        log_message("render", "no memory for a RenderGui");
}

Gui::~Gui()
{
    _render_world.destroy_object(_link, _render_handle);
    for (const HeldMaterial &h : _held)
        _resources.let_go(material_type, h.name, h.data);
}

const Font *Gui::find_font(NameId64 font) const
{
    const auto *resource = static_cast<const FontResource *>(_resources.find(font_type, font));
    return resource ? &resource->font : nullptr;
}

u32 Gui::material_index(u32 name)
{
    const MaterialEntry *entry = nullptr;
    NameId64 found_in;
    const MaterialResource *resource = nullptr;
    for (NameId64 resource_name : _material_resources) {
        resource = static_cast<const MaterialResource *>(_resources.find(material_type, resource_name));
        if (resource && (entry = resource->find(name))) {
            found_in = resource_name;
            break;
        }
    }
    if (!entry)
        return no_gui_material;
    for (u32 i = 0; i < _materials.size(); ++i)
        if (_materials[i] == entry)
            return i;
    // The render side reads the entry when it draws: hold its resource first.
    bool held = !_resources.acquire;
    for (const HeldMaterial &h : _held)
        held = held || h.data == resource;
    if (!held) {
        const void *data = _resources.hold(material_type, found_in);
        if (data != resource || !_held.push_back({found_in, data})) {
            _resources.let_go(material_type, found_in, data);
            return no_gui_material;
        }
    }
    RenderStateQueue *state = _link.state();
    GuiMaterialMessage message{u32(RenderObjectClass::Gui), _render_handle, _materials.size(), 0, entry};
    if (!state || !_materials.push_back(entry))
        return no_gui_material;
    if (!state->update_stream(0).write(gui_material_kind, message)) {
        _materials.pop_back();
        return no_gui_material;
    }
    return _materials.size() - 1;
}

GuiVertex *Gui::begin_primitive(u32 id, i32 layer, u32 vertex_count, u32 material)
{
    RenderStateQueue *state = _link.state();
    if (!is_created() || !state)
        return nullptr;
    u64 bytes = sizeof(GuiPrimitiveHeader) + u64(vertex_count) * sizeof(GuiVertex);
    if (bytes > 0x7FFFFFFFu)
        return nullptr;
    auto *payload = static_cast<u8 *>(state->update_stream(0).append(gui_primitive_kind, u32(bytes)));
    if (!payload) {
        log_message("render", "gui: no room for primitive %u in the state stream; dropped", id);
        return nullptr;
    }
    GuiPrimitiveHeader header{u32(RenderObjectClass::Gui), _render_handle, id, layer, vertex_count,
                              u32(sizeof(GuiPrimitiveHeader)), material};
    memcpy(payload, &header, sizeof header);
    // The payload is 4-aligned and GuiVertex is made of 4-byte fields.
    return reinterpret_cast<GuiVertex *>(payload + sizeof header);
}

void Gui::quad(GuiVertex *out, Vector3 a, Vector3 b, Vector3 c, Vector3 d, u32 color, const f32 uv[8],
               const Matrix4x4 *pose) const
{
    // Corners a (x, y), b (x + w, y), c (x, y + h), d (x + w, y + h) in script space; two
    // triangles a b c, c b d.
    const Vector3 corners[6] = {a, b, c, c, b, d};
    const u32 uv_index[6] = {0, 1, 2, 2, 1, 3};
    for (u32 i = 0; i < 6; ++i) {
        Vector3 p{corners[i].x, corners[i].z, corners[i].y};
        if (pose)
            p = transform_point(*pose, p);
        GuiVertex v{p.x, p.y, p.z, 0, -1, 0, color, uv[uv_index[i] * 2], uv[uv_index[i] * 2 + 1]};
        memcpy(out + i, &v, sizeof v);
    }
}

bool Gui::triangle(u32 id, const Vector3 points[3], i32 layer, u32 color)
{
    GuiVertex *out = begin_primitive(id, layer, 3, no_gui_material);
    if (!out)
        return false;
    for (u32 i = 0; i < 3; ++i) {
        GuiVertex v{points[i].x, points[i].z, points[i].y, 0, -1, 0, color, 0, 0};
        memcpy(out + i, &v, sizeof v);
    }
    return true;
}

bool Gui::rect(u32 id, Vector3 p, f32 w, f32 h, i32 layer, u32 color, const Matrix4x4 *pose)
{
    GuiVertex *out = begin_primitive(id, layer, 6, no_gui_material);
    if (!out)
        return false;
    const f32 uv[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    quad(out, p, {p.x + w, p.y, p.z}, {p.x, p.y + h, p.z}, {p.x + w, p.y + h, p.z}, color, uv, pose);
    return true;
}

bool Gui::bitmap(u32 id, u32 material, Vector3 p, f32 w, f32 h, i32 layer, u32 color, f32 u_min, f32 v_min,
                 f32 u_max, f32 v_max, const Matrix4x4 *pose)
{
    u32 index = material_index(material);
    GuiVertex *out = begin_primitive(id, layer, 6, index);
    if (!out)
        return false;
    const f32 uv[8] = {u_min, v_max, u_max, v_max, u_min, v_min, u_max, v_min};
    quad(out, p, {p.x + w, p.y, p.z}, {p.x, p.y + h, p.z}, {p.x + w, p.y + h, p.z}, color, uv, pose);
    return true;
}

bool Gui::text(u32 id, const char *text, u64 length, NameId64 font_name, f32 size, u32 material, Vector3 p,
               i32 layer, u32 color, const Matrix4x4 *pose)
{
    const Font *font = find_font(font_name);
    if (!font)
        return false;
    u32 count = 0;
    for_each_code_point(text, length, [&](u32) { ++count; });
    if (count > max_text_code_points) {
        log_message("render", "gui: a text of %u characters is cut to %u", count, max_text_code_points);
        count = max_text_code_points;
    }
    u32 index = material_index(material);
    GuiVertex *out = begin_primitive(id, layer, count * 6, index);
    if (!out)
        return false;
    f32 pen = p.x;
    u32 written = 0;
    for_each_code_point(text, length, [&](u32 cp) {
        if (written == count)
            return;
        GlyphQuad q;
        font->layout_glyph(cp, pen, p.y, size, q);
        const f32 uv[8] = {q.u_min, q.v_max, q.u_max, q.v_max, q.u_min, q.v_min, q.u_max, q.v_min};
        quad(out + written * 6, {q.min_x, q.min_y, p.z}, {q.max_x, q.min_y, p.z}, {q.min_x, q.max_y, p.z},
             {q.max_x, q.max_y, p.z}, color, uv, pose);
        ++written;
    });
    return true;
}

bool Gui::destroy_primitive(u32 id) { return begin_primitive(id, 0, 0, no_gui_material) != nullptr; }

bool Gui::text_extents(const char *text, u64 length, NameId64 font_name, f32 size, Vector3 &out_min,
                       Vector3 &out_max) const
{
    out_min = {FLT_MAX, FLT_MAX, FLT_MAX};
    out_max = {-FLT_MAX, -FLT_MAX, -FLT_MAX};
    const Font *font = find_font(font_name);
    if (!font)
        return false;
    f32 pen = 0;
    for_each_code_point(text, length, [&](u32 cp) {
        GlyphQuad q;
        font->layout_glyph(cp, pen, 0, size, q);
        const Vector3 corners[2] = {{q.min_x, 0, q.min_y}, {q.max_x, 0, q.max_y}};
        for (const Vector3 &c : corners) {
            out_min = {std::fmin(out_min.x, c.x), std::fmin(out_min.y, c.y), std::fmin(out_min.z, c.z)};
            out_max = {std::fmax(out_max.x, c.x), std::fmax(out_max.y, c.y), std::fmax(out_max.z, c.z)};
        }
    });
    return true;
}

bool Gui::has_all_glyphs(const char *text, u64 length, NameId64 font_name) const
{
    const Font *font = find_font(font_name);
    if (!font)
        return false;
    bool all = true;
    for_each_code_point(text, length, [&](u32 cp) {
        FontGlyph g;
        all = all && font->find_glyph(cp, g);
    });
    return all;
}

bool Gui::move(const Matrix4x4 &pose, f32 x, f32 y)
{
    memcpy(_settings.pose, &pose, sizeof _settings.pose);
    _settings.position[0] = x;
    _settings.position[1] = y;
    RenderStateQueue *state = _link.state();
    if (!is_created() || !state)
        return false;
    GuiSettingsMessage message{u32(RenderObjectClass::Gui), _render_handle, _settings};
    return state->update_stream(0).write(gui_settings_kind, message);
}

GuiWorld::GuiWorld(Allocator &parent, RenderWorld &render_world, WorldRenderLink &link,
                   const ResourceLookup &resources)
    : _allocator("gui_world", parent), _render_world(render_world), _link(link), _resources(resources),
      _guis(_allocator)
{
}

GuiWorld::~GuiWorld()
{
    for (Gui *g : _guis)
        delete_with_allocator(_allocator, g);
}

Gui *GuiWorld::create_gui(const GuiCreateParams &params)
{
    const GuiSettings &s = params.settings;
    if (!s.screen && !(s.width > 0 && std::isfinite(s.width) && s.height > 0 && std::isfinite(s.height))) {
        log_message("render", "a world gui of width %g and height %g cannot be placed; none made", s.width, s.height);
        return nullptr;
    }
    Gui *gui = make_new<Gui>(_allocator, _allocator, _render_world, _link, _resources, params);
    if (!gui || !gui->is_created() || !_guis.push_back(gui)) {
        delete_with_allocator(_allocator, gui);
        log_message("render", "no gui made (out of memory or render handles)");
        return nullptr;
    }
    return gui;
}

bool GuiWorld::owns(const Gui *gui) const
{
    for (const Gui *g : _guis)
        if (g == gui)
            return true;
    return false;
}

bool GuiWorld::destroy_gui(Gui *gui)
{
    for (u32 i = 0; i < _guis.size(); ++i)
        if (_guis[i] == gui) {
            _guis[i] = _guis.back();
            _guis.pop_back();
            delete_with_allocator(_allocator, gui);
            return true;
        }
    return false;
}

} // namespace tallow
