#include "render/viewports/viewport.h"

#include "foundation/log.h"
#include "foundation/strings/name_id.h"
#include "render/config/global_resources.h"
#include "render/resources/render_resource_context.h"
#include "render/resources/render_target.h"
#include "render/world/render_state_stream.h"

#include <algorithm>
#include <cstring>

namespace tallow {

namespace {

u32 name_of(ConstConfigValue v) { return v.kind() == ConstConfigKind::String ? NameId32(v.to_string()).value() : 0; }

f32 number_or(ConstConfigValue v, f32 fallback)
{
    if (v.kind() == ConstConfigKind::Float)
        return v.to_float();
    if (v.kind() == ConstConfigKind::Integer)
        return f32(v.to_integer());
    return fallback;
}

} // namespace

ViewportTemplate::ViewportTemplate(Allocator &parent)
    : allocator("ViewportTemplate", parent), resources(allocator)
{
}

bool ViewportTemplate::read(ConstConfigValue config, const RenderResourceSet *parent, const RenderBranchValues &values,
                            const ResourceLookup *lookup)
{
    bool ok = true;
    ConstConfigValue r = config.member("rect");
    if (!r.is_nil()) {
        if (r.kind() == ConstConfigKind::Array && r.count() == 4) {
            rect.x = number_or(r.element(0), 0);
            rect.y = number_or(r.element(1), 0);
            rect.width = number_or(r.element(2), 1);
            rect.height = number_or(r.element(3), 1);
        } else {
            log_message("render", "viewport template: \"rect\" is not four numbers; 0 0 1 1 kept");
            ok = false;
        }
    }
    rect.layer_config = name_of(config.member("layer_config"));
    rect.output_target = name_of(config.member("output_rt"));
    rect.output_destination = name_of(config.member("output_dst"));
    ConstConfigValue items = config.member("resources");
    if (!items.is_nil())
        ok = load_global_resources(resources, items, parent, values, lookup) && ok;
    return ok;
}

ViewportTemplates::ViewportTemplates(Allocator &parent) : _allocator("ViewportTemplates", parent), _templates(_allocator) {}

ViewportTemplates::~ViewportTemplates() { release(); }

void ViewportTemplates::release()
{
    for (Entry &e : _templates) {
        e.viewport_template->resources.release();
        delete_with_allocator(_allocator, e.viewport_template);
    }
    _templates.resize(0);
}

bool ViewportTemplates::load(ConstConfigValue section, const RenderResourceSet *parent,
                             const RenderBranchValues &values, const ResourceLookup *resources)
{
    release();
    bool ok = true;
    const u32 debug_name = NameId32(debug_viewport_name).value();
    const i32 n = section.kind() == ConstConfigKind::Object ? section.count() : 0;
    for (i32 i = 0; i < n; ++i) {
        const char *key = nullptr;
        ConstConfigValue config = section.member_at(i, &key);
        const u32 name = NameId32(key ? key : "").value();
        if (name == debug_name) {
            log_message("render", "viewport template \"%s\" is built in; the configured one is refused", key);
            ok = false;
            continue;
        }
        if (find(name)) {
            log_message("render", "viewport template \"%s\" is given twice; the first is kept", key);
            ok = false;
            continue;
        }
        ViewportTemplate *t = make_new<ViewportTemplate>(_allocator, _allocator);
        if (!t)
            return false;
        if (!t->read(config, parent, values, resources)) {
            log_message("render", "viewport template \"%s\": some of it was refused", key);
            ok = false;
        }
        _templates.push_back({name, t});
        std::sort(_templates.begin(), _templates.end(), [](const Entry &a, const Entry &b) { return a.name < b.name; });
    }
    if (ViewportTemplate *debug = make_new<ViewportTemplate>(_allocator, _allocator)) {
        ViewportPlacement rect;
        rect.layer_config = NameId32(debug_viewport_name).value();
        rect.output_target = NameId32("back_buffer").value();
        debug->copy(rect);
        _templates.push_back({debug_name, debug});
    }
    std::sort(_templates.begin(), _templates.end(), [](const Entry &a, const Entry &b) { return a.name < b.name; });
    return ok;
}

const ViewportTemplate *ViewportTemplates::find(u32 name) const
{
    const Entry *it = std::lower_bound(_templates.begin(), _templates.end(), name,
                                       [](const Entry &e, u32 n) { return e.name < n; });
    return it != _templates.end() && it->name == name ? it->viewport_template : nullptr;
}

// --- Viewport ------------------------------------------------------------------------------

GameViewport::GameViewport(const ViewportTemplate &t, RenderStateStream *stream)
    : rect(t.rect), viewport_template(&t), _stream(stream)
{
}

void GameViewport::set_rect(f32 x, f32 y, f32 width, f32 height)
{
    rect.x = x;
    rect.y = y;
    rect.width = width;
    rect.height = height;
    if (_stream)
        send_rect(*_stream);
}

void GameViewport::send_rect(RenderStateStream &stream) const
{
    if (handle == 0xFFFFFFFFu)
        return;
    ViewportRectRecord record;
    record.handle = handle;
    record.x = rect.x;
    record.y = rect.y;
    record.width = rect.width;
    record.height = rect.height;
    stream.write(0, record);
}

Viewport GameViewport::device_rect() const { return {rect.x, rect.y, rect.width, rect.height, 0.0f, 1.0f}; }

f32 GameViewport::aspect_scale(f32 aspect) const
{
    // A rectangle without height has no shape of its own: keep the target's aspect.
    return rect.height != 0.0f ? rect.width / rect.height * aspect : aspect;
}

// --- RenderViewport --------------------------------------------------------------------------

RenderViewport::RenderViewport(Allocator &allocator, const GameViewport &viewport)
    : RenderObject(RenderObjectClass::Viewport), rect(viewport.rect), resources(allocator)
{
    // Plain render targets get copies of their own; other entries are shared as they are.
    for (const RenderResourceSet::Entry &e : viewport.viewport_template->resources.entries()) {
        if (e.resource->type == RenderResourceType::RenderTarget && e.created_here && !e.external) {
            const auto *source = static_cast<const RenderTarget *>(e.resource);
            auto *copy = make_new<RenderTarget>(resources.allocator(), resources.allocator());
            if (!copy)
                continue;
            copy->description = source->description;
            copy->window_index = source->window_index;
            copy->array_size = source->array_size;
            copy->sample_count = source->sample_count;
            copy->sample_quality = source->sample_quality;
            memcpy(copy->clear_color, source->clear_color, sizeof copy->clear_color);
            copy->multisampled = source->multisampled;
            copy->suppress_clear = source->suppress_clear;
            copy->hint_needs_clearing = source->hint_needs_clearing;
            resources.add(e.name, copy, true, false);
        }
    }
}

RenderViewport::~RenderViewport() { resources.release(); }

void RenderViewport::create_resources(RenderResourceContext *context)
{
    if (context)
        resources.create_all(*context);
}

void RenderViewport::destroy_resources(RenderResourceContext *context)
{
    if (context)
        resources.destroy_all(*context);
}

void RenderViewport::apply_message(u32 kind, const u8 *payload, u32 payload_bytes)
{
    if (kind != 0 || payload_bytes < sizeof(ViewportRectRecord))
        return;
    ViewportRectRecord record;
    memcpy(&record, payload, sizeof record);
    rect.x = record.x;
    rect.y = record.y;
    rect.width = record.width;
    rect.height = record.height;
}

} // namespace tallow
