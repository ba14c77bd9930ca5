#include "render/config/global_resources.h"

#include "foundation/log.h"
#include "foundation/memory/allocator.h"
#include "render/resources/render_resource_set.h"
#include "render/resources/render_target.h"
#include "resource/resource_manager.h"

#include <cmath>
#include <cstring>

namespace tallow {

namespace {

struct FormatName {
    const char *name;
    u32 code;
};
const FormatName format_names[] = {
    {"R8G8B8A8", 0},  {"R32F", 1},       {"DEPTH_STENCIL", 3}, {"R32G32B32A32F", 9},      {"SHADOW_MAP", 10},
    {"HDR_ACCUMULATION", 11}, {"BUFFER_32F", 12}, {"R16F", 13}, {"UNKNOWN", 15},
};

void *lookup_manager(void *context, NameId64 type, NameId64 name)
{
    return static_cast<ResourceManager *>(context)->get(type, name);
}

// A non-negative whole number from an integer or a float (truncated). False when the
// value is there but is not such a number.
bool read_count(ConstConfigValue v, u32 fallback, u32 *out)
{
    *out = fallback;
    if (v.is_nil())
        return true;
    if (v.kind() == ConstConfigKind::Integer) {
        if (v.to_integer() < 0)
            return false;
        *out = u32(v.to_integer());
        return true;
    }
    if (v.kind() == ConstConfigKind::Float) {
        const f32 f = v.to_float();
        if (!(f >= 0.0f) || f >= 4294967040.0f)
            return false;
        *out = u32(f);
        return true;
    }
    return false;
}

bool read_number(const ConfigValue &v, u32 *out)
{
    if (v.kind() == ConfigKind::Integer && v.to_integer() >= 0) {
        *out = u32(v.to_integer());
        return true;
    }
    if (v.kind() == ConfigKind::Float && v.to_float() >= 0.0f && v.to_float() < 4294967040.0f) {
        *out = u32(v.to_float());
        return true;
    }
    return false;
}

// ((size - 1) / align + 1) x align; `no_size` stays, an alignment of 0 counts as 1, and a
// result past 32 bits fails.
bool align_size(u32 size, u32 align, u32 *out)
{
    if (size == no_size || size == 0 || align <= 1) {
        *out = size;
        return true;
    }
    const u64 r = (u64(size - 1) / align + 1) * align;
    if (r >= no_size)
        return false;
    *out = u32(r);
    return true;
}

struct Reader {
    RenderResourceSet &set;
    const RenderResourceSet *parent;
    const RenderBranchValues &values;
    const ResourceLookup *resources;

    bool refuse(const char *name, const char *why)
    {
        log_message("render", "global resource '%s' refused: %s", name, why);
        return false;
    }

    bool read_items(ConstConfigValue items, u32 depth)
    {
        if (items.is_nil())
            return true;
        if (items.kind() != ConstConfigKind::Array) {
            log_message("render", "global resources: items must be an array");
            return false;
        }
        if (depth >= max_static_branch_depth) {
            log_message("render", "global resources: static branches nested deeper than %u refused",
                        max_static_branch_depth);
            return false;
        }
        bool ok = true;
        const i32 n = items.count();
        for (i32 i = 0; i < n; ++i)
            ok = read_item(items.element(i), depth) && ok;
        return ok;
    }

    bool read_item(ConstConfigValue item, u32 depth)
    {
        const char *type = item.member("type").to_string();
        if (strcmp(type, "static_branch") == 0)
            return read_items(item.member(static_branch_passes(item, values) ? "pass" : "fail"), depth + 1);
        const char *name = item.member("name").to_string();
        const u32 id = NameId32(name).value();
        if (set.find(id))
            return refuse(name, "the name is taken");
        if (strcmp(type, "render_target") == 0)
            return read_target(item, name, id);
        if (strcmp(type, "texture") == 0)
            return read_texture(item, name, id);
        return refuse(name, "unknown type (render_target, texture or static_branch)");
    }

    // Format, mips and image type, shared by targets and textures.
    bool read_common(ConstConfigValue item, const char *name, TextureDescription &d)
    {
        ConstConfigValue format = item.member("format");
        if (!format.is_nil() && !texture_format_from_name(format.to_string(), &d.format))
            return refuse(name, "unknown format");
        if (!read_count(item.member("mip_levels"), 1, &d.mip_count) || d.mip_count == 0)
            return refuse(name, "mip_levels must be 1 or more");
        const bool cube = strcmp(item.member("image_type").to_string(), "image_cube") == 0;
        d.image_type = cube ? 2 : 0;
        d.face_count = cube ? 6 : 1;
        return true;
    }

    bool read_size(ConstConfigValue item, const char *name, TextureDescription &d)
    {
        u32 width_align = 1, height_align = 1;
        if (!read_count(item.member("width"), no_size, &d.width) || !read_count(item.member("height"), no_size, &d.height))
            return refuse(name, "width and height must be whole numbers of 0 or more");
        if (!read_count(item.member("width_align"), 1, &width_align) ||
            !read_count(item.member("height_align"), 1, &height_align))
            return refuse(name, "alignments must be whole numbers of 0 or more");
        if (!align_size(d.width, width_align, &d.width) || !align_size(d.height, height_align, &d.height))
            return refuse(name, "the aligned size does not fit 32 bits");
        ConstConfigValue setting = item.member("size_from_render_setting");
        if (setting.kind() == ConstConfigKind::String && values.render_settings) {
            const ConfigValue *pair = values.render_settings->find(setting.to_string());
            if (pair) {
                u32 w = 0, h = 0;
                if (pair->kind() == ConfigKind::Array && pair->count() >= 2 && read_number(pair->items()[0], &w) &&
                    read_number(pair->items()[1], &h)) {
                    d.width = w;
                    d.height = h;
                } else {
                    log_message("render", "global resource '%s': setting \"%s\" is not a pair of sizes of 0 or more; "
                                "its own size kept", name, setting.to_string());
                }
            }
        }
        return true;
    }

    bool read_target(ConstConfigValue item, const char *name, u32 id)
    {
        RenderTarget *target = nullptr;
        ConstConfigValue depends = item.member("depends_on");
        if (!depends.is_nil()) {
            const u32 source_id = NameId32(depends.to_string()).value();
            RenderResource *source = set.find(source_id);
            if (!source && parent)
                source = parent->find(source_id);
            if (!source || (source->type != RenderResourceType::RenderTarget &&
                            source->type != RenderResourceType::DependentRenderTarget &&
                            source->type != RenderResourceType::BackBuffer))
                return refuse(name, "depends_on names no render target");
            TargetDependency dependency;
            dependency.source = static_cast<RenderTarget *>(source);
            ConstConfigValue ws = item.member("w_scale"), hs = item.member("h_scale");
            dependency.width_scale = ws.is_nil() ? 1.0f : ws.to_float();
            dependency.height_scale = hs.is_nil() ? 1.0f : hs.to_float();
            if (!(dependency.width_scale >= 0.0f) || !(dependency.height_scale >= 0.0f) ||
                !std::isfinite(dependency.width_scale) || !std::isfinite(dependency.height_scale))
                return refuse(name, "w_scale and h_scale must be finite numbers of 0 or more");
            if (!read_count(item.member("width_align"), 1, &dependency.width_align) ||
                !read_count(item.member("height_align"), 1, &dependency.height_align))
                return refuse(name, "alignments must be whole numbers of 0 or more");
            target = DependentRenderTarget::create(set.allocator(), dependency);
        } else {
            target = make_new<RenderTarget>(set.allocator(), set.allocator());
            if (target && !read_size(item, name, target->description)) {
                delete_with_allocator(set.allocator(), target);
                return false;
            }
        }
        if (!target)
            return refuse(name, "out of memory");
        if (!read_common(item, name, target->description)) {
            destroy_render_resource(set.allocator(), target);
            return false;
        }
        target->hint_needs_clearing = item.member("hint_needs_clearing").to_bool() ? 1 : 0;
        set.add(id, target, true, false);
        return true;
    }

    bool read_texture(ConstConfigValue item, const char *name, u32 id)
    {
        ConstConfigValue resource = item.member("resource");
        if (!resource.is_nil()) {
            void *loaded = resources ? resources->find(NameId64("texture"), NameId64(resource.to_string())) : nullptr;
            if (!loaded)
                return refuse(name, "its texture resource is not loaded");
            set.add(id, static_cast<Texture *>(loaded), true, true);
            return true;
        }
        Texture *texture = make_new<Texture>(set.allocator(), set.allocator());
        if (!texture)
            return refuse(name, "out of memory");
        if (!read_size(item, name, texture->description) || !read_common(item, name, texture->description)) {
            delete_with_allocator(set.allocator(), texture);
            return false;
        }
        set.add(id, texture, true, false);
        return true;
    }
};

} // namespace

ResourceLookup resource_lookup(ResourceManager &manager)
{
    ResourceLookup lookup{&manager, lookup_manager};
    lookup.acquire = [](void *context, NameId64 type, NameId64 name) {
        return static_cast<ResourceManager *>(context)->acquire(type, name);
    };
    lookup.release = [](void *context, NameId64 type, NameId64 name, const void *data) {
        static_cast<ResourceManager *>(context)->release(type, name, data);
    };
    return lookup;
}

bool texture_format_from_name(const char *name, u32 *out_format)
{
    for (const FormatName &f : format_names) {
        if (strcmp(f.name, name ? name : "") == 0) {
            *out_format = f.code;
            return true;
        }
    }
    return false;
}

bool load_global_resources(RenderResourceSet &set, ConstConfigValue section, const RenderResourceSet *parent,
                           const RenderBranchValues &values, const ResourceLookup *resources)
{
    Reader reader{set, parent, values, resources};
    return reader.read_items(section, 0);
}

} // namespace tallow
