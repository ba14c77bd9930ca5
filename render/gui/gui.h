#pragma once
// The game side of GUIs: a Gui holds primitives (triangles, rectangles, bitmaps, texts, in
// the screen plane or placed by a pose) that scripts make, rewrite and destroy by id; each
// change goes to the gui's RenderGui as a message in the world's state stream. A GuiWorld
// holds a world's guis.
//
//   GuiWorld guis(allocator, render_world, link, resource_lookup(resource_manager));
//   GuiCreateParams params;                       // a screen gui of the back buffer's size
//   Gui *gui = guis.create_gui(params);          // null when it cannot be made (logged)
//   u32 id = gui->take_id();
//   gui->rect(id, {10, 10, 0}, 100, 20, 0, 0xFFFFFFFF);
//   gui->text(gui->take_id(), "Hello", 5, font_name, 16, material_name, {10, 40, 0}, 1, 0xFFFFFFFF);
//   gui->destroy_primitive(id);
//   guis.destroy_gui(gui);
//
// Texts are decoded from UTF-8 (a malformed sequence draws U+FFFD) and laid out on one line
// with the "font" resource named; a code point the font lacks draws the font's first glyph.
// Text and bitmap materials are looked up by name in the gui's "material" resources (the
// ones named at creation); a name none of them has draws with the gui's own shader. A gui
// holds the material resources its primitives draw with until it is destroyed.
// Primitive ids are never reused within a gui.
//
// Main thread only.

#include "foundation/containers/array.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/strings/name_id.h"
#include "render/config/global_resources.h"
#include "render/gui/render_gui.h"

namespace tallow {

class Font;
class RenderWorld;
class WorldRenderLink;

/// First word of a Gui: what scripts' tostring reads to name one.
constexpr u32 gui_tag = 0x45324383;

struct GuiCreateParams {
    GuiSettings settings;             // screen or world, position, pose, size, options
    const NameId64 *materials = nullptr; // "material" resources its primitives may use
    u32 material_count = 0;
};

class Gui {
  public:
    /// Fonts and materials are found through `resources`.
    Gui(Allocator &allocator, RenderWorld &render_world, WorldRenderLink &link, const ResourceLookup &resources,
        const GuiCreateParams &params);
    /// Destroys the render object.
    ~Gui();
    Gui(const Gui &) = delete;
    Gui &operator=(const Gui &) = delete;

    /// False when the render object could not be made (the gui then draws nothing).
    bool is_created() const { return _render_handle != 0xFFFFFFFFu; }
    /// gui_tag: what tostring reads at the start of the object.
    u32 tag() const { return _tag; }
    /// A new primitive id (a running counter).
    u32 take_id() { return _next_id++; }
    u32 next_id() const { return _next_id; }
    const GuiSettings &settings() const { return _settings; }

    // Each writes primitive `id` (new or rewritten); false when nothing could be posted.
    bool triangle(u32 id, const Vector3 points[3], i32 layer, u32 color);
    /// `position`'s z is the depth.
    bool rect(u32 id, Vector3 position, f32 width, f32 height, i32 layer, u32 color, const Matrix4x4 *pose = nullptr);
    /// uv (u min, v min) to (u max, v max): v max at y, v min at y + h, u min at x, u max at x + w.
    bool bitmap(u32 id, u32 material, Vector3 position, f32 width, f32 height, i32 layer, u32 color, f32 u_min,
                f32 v_min, f32 u_max, f32 v_max, const Matrix4x4 *pose = nullptr);
    /// False also when the font is not loaded.
    bool text(u32 id, const char *text, u64 length, NameId64 font, f32 size, u32 material, Vector3 position,
              i32 layer, u32 color, const Matrix4x4 *pose = nullptr);
    /// Posts `id` with no vertices.
    bool destroy_primitive(u32 id);

    /// The min and max corners of the laid-out text; false when the font is not loaded.
    /// An empty text gives min (FLT_MAX, ...) and max (-FLT_MAX, ...).
    bool text_extents(const char *text, u64 length, NameId64 font, f32 size, Vector3 &out_min, Vector3 &out_max) const;
    /// Whether the "font" resource `font` is loaded.
    bool has_font(NameId64 font) const { return find_font(font) != nullptr; }
    /// Whether the font has a glyph for every code point; false when it is not loaded.
    bool has_all_glyphs(const char *text, u64 length, NameId64 font) const;
    /// Sets the world gui's pose and the screen gui's position; posts the settings.
    bool move(const Matrix4x4 &pose, f32 x, f32 y);

  private:
    const Font *find_font(NameId64 font) const;
    u32 material_index(u32 name);
    /// Room in the state stream for a primitive of `vertex_count` vertices; null (logged)
    /// when the stream cannot grow.
    GuiVertex *begin_primitive(u32 id, i32 layer, u32 vertex_count, u32 material);
    void quad(GuiVertex *out, Vector3 a, Vector3 b, Vector3 c, Vector3 d, u32 color, const f32 uv[8],
              const Matrix4x4 *pose) const;

    u32 _tag = gui_tag; // first: see gui_tag
    RenderWorld &_render_world;
    WorldRenderLink &_link;
    ResourceLookup _resources;
    GuiSettings _settings;
    u32 _render_handle = 0xFFFFFFFFu;
    u32 _next_id = 0;
    Array<NameId64> _material_resources;
    Array<const MaterialEntry *> _materials; // by the index primitives name
    // The "material" resources whose entries went to the render side, held while the gui
    // lives (the render side reads the entries when it draws).
    struct HeldMaterial {
        NameId64 name;
        const void *data;
    };
    Array<HeldMaterial> _held;
};

/// A world's guis.
class GuiWorld {
  public:
    GuiWorld(Allocator &parent, RenderWorld &render_world, WorldRenderLink &link, const ResourceLookup &resources);
    ~GuiWorld();
    GuiWorld(const GuiWorld &) = delete;
    GuiWorld &operator=(const GuiWorld &) = delete;

    /// Null (logged) when memory runs out or a world gui's width or height is not a
    /// positive finite number.
    Gui *create_gui(const GuiCreateParams &params);
    /// False when `gui` is not one of this world's.
    bool destroy_gui(Gui *gui);
    bool owns(const Gui *gui) const;
    u32 count() const { return _guis.size(); }

  private:
    TraceAllocator _allocator; // "gui_world"
    RenderWorld &_render_world;
    WorldRenderLink &_link;
    ResourceLookup _resources;
    Array<Gui *> _guis;
};

} // namespace tallow
