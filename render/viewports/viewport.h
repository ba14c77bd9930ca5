#pragma once
// Viewports: where in which target a world is drawn and with which layer configuration.
// The render configuration's "viewports" object declares named templates; the game side
// makes a Viewport from one, and its render twin (RenderViewport) owns the per-viewport
// resources.
//
//   ViewportTemplates templates(allocator);
//   templates.load(render_config.member("viewports"), &global_resources, branch_values);
//   const ViewportTemplate *t = templates.find(NameId32("default").value());   // null: none
//   GameViewport viewport(*t, stream);  viewport.set_rect(0.5f, 0, 0.5f, 1);
//
// Source of a template (every key optional):
//   default = { layer_config = "main" output_rt = "back_buffer" output_dst = "screen"
//               rect = [0 0 1 1] resources = [ ...global resource items... ] }
// The rectangle is in fractions of the output target (default 0, 0, 1, 1). The built-in
// template "tvtech_debug" (layer configuration "tvtech_debug", output "back_buffer") is
// always there; a configured template of that name is refused (logged), so a lookup is
// never ambiguous.
//
// Main thread, while the render thread is idle; the render twins live on the render thread.

#include "foundation/config/const_config_value.h"
#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "render/commands/render_records.h"
#include "render/config/render_branch.h"
#include "render/resources/render_resource_set.h"
#include "render/world/render_object.h"

namespace tallow {

class RenderStateStream;
struct ResourceLookup;

/// The rectangle and ids a viewport carries (32 bytes).
struct ViewportPlacement {
    f32 x = 0, y = 0, width = 1, height = 1;
    u32 layer_config = 0;  // NameId32
    u32 spare = 0;
    u32 output_target = 0; // NameId32
    u32 output_destination = 0; // NameId32
};
static_assert(sizeof(ViewportPlacement) == 32);

constexpr const char *debug_viewport_name = "tvtech_debug";

class ViewportTemplate {
  public:
    explicit ViewportTemplate(Allocator &parent);
    /// Reads "rect", "layer_config", "output_rt", "output_dst" and "resources" (global
    /// resource items; dependent targets may follow `parent` set's). False when an item
    /// was refused (logged; the rest is kept).
    bool read(ConstConfigValue config, const RenderResourceSet *parent, const RenderBranchValues &values,
              const ResourceLookup *resources);
    /// Sets the rectangle and ids; the resource set stays as it is.
    void copy(const ViewportPlacement &rect) { this->rect = rect; }

    ViewportPlacement rect;
    TraceAllocator allocator; // "ViewportTemplate"
    RenderResourceSet resources;
};

class ViewportTemplates {
  public:
    explicit ViewportTemplates(Allocator &parent);
    ~ViewportTemplates();
    ViewportTemplates(const ViewportTemplates &) = delete;
    ViewportTemplates &operator=(const ViewportTemplates &) = delete;

    /// Releases the templates held, then reads every member of `section`, adds the built-in
    /// "tvtech_debug" and sorts by name id. False when anything was refused (logged).
    bool load(ConstConfigValue section, const RenderResourceSet *parent, const RenderBranchValues &values,
              const ResourceLookup *resources);
    /// Frees every template (their resource sets must have been destroyed on the device).
    void release();
    /// The template named `name` (NameId32), or null.
    const ViewportTemplate *find(u32 name) const;
    u32 count() const { return _templates.size(); }
    u32 name_at(u32 i) const { return _templates[i].name; }

  private:
    struct Entry {
        u32 name;
        ViewportTemplate *viewport_template;
    };
    TraceAllocator _allocator;
    Array<Entry> _templates; // sorted by name
};

/// Payload of a viewport's rectangle record (kind 0, class Viewport) in update stream 0.
struct ViewportRectRecord {
    u32 class_id = u32(RenderObjectClass::Viewport);
    u32 handle = 0xFFFFFFFFu;
    f32 x = 0, y = 0, width = 1, height = 1;
};

/// The game side's viewport (`Viewport` is the device viewport item of command 7, which
/// device_rect returns: still in fractions of the target, the device scales them).
class GameViewport {
  public:
    GameViewport(const ViewportTemplate &viewport_template, RenderStateStream *stream);
    /// Stores the rectangle and sends it to the render twin (when it has a handle).
    void set_rect(f32 x, f32 y, f32 width, f32 height);
    /// Writes the rectangle record for the render twin into `stream` (nothing without a
    /// handle). A viewport made without a stream sends through this: a world's state buffer
    /// changes every frame, so its owner passes the current one.
    void send_rect(RenderStateStream &stream) const;
    Viewport device_rect() const;
    /// width / height of the rectangle times `aspect`; `aspect` alone when the height is 0.
    f32 aspect_scale(f32 aspect) const;

    u32 handle = 0xFFFFFFFFu;
    f32 level = -1.0f; // carried for the render twin; read by nothing yet
    ViewportPlacement rect;
    const ViewportTemplate *viewport_template;

  private:
    RenderStateStream *_stream;
};

/// The render twin (class Viewport): the rectangle and ids, and its own copies of the
/// template's plain render targets. Render thread.
class RenderViewport final : public RenderObject {
  public:
    RenderViewport(Allocator &allocator, const GameViewport &viewport);
    ~RenderViewport() override;
    void create_resources(RenderResourceContext *context) override;
    void destroy_resources(RenderResourceContext *context) override;
    /// Kind 0: a ViewportRectRecord; other kinds are ignored.
    void apply_message(u32 kind, const u8 *payload, u32 payload_bytes) override;

    ViewportPlacement rect;
    RenderResourceSet resources;
};

} // namespace tallow
