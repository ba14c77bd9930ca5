#include "render/resources/render_target.h"

#include "foundation/log.h"
#include "render/device/render_device.h"

#include <cmath>

namespace tallow {

Texture::Texture(Allocator &allocator_, RenderResourceType type_) : data(allocator_), allocator(&allocator_)
{
    type = type_;
    handle = invalid_render_handle;
}

Texture::~Texture() = default;

RenderTarget::RenderTarget(Allocator &allocator_, RenderResourceType type_) : Texture(allocator_, type_) {}

u32 dependent_target_size(u32 source_size, f32 scale, u32 align)
{
    if (source_size == no_size)
        return no_size;
    f64 scaled = std::ceil(f64(source_size) * f64(scale));
    // NaN and negative scales give the smallest size; huge ones clamp below the sentinel.
    u64 size = 1;
    if (scaled >= 1.0)
        size = scaled >= f64(no_size - 1) ? u64(no_size - 1) : u64(scaled);
    if (align > 1) {
        size = ((size - 1) / align + 1) * u64(align);
        if (size >= no_size)
            size = (u64(no_size - 1) / align) * align;
    }
    return u32(size);
}

DependentRenderTarget::DependentRenderTarget(Allocator &allocator_, const TargetDependency &dependency_)
    : RenderTarget(allocator_, RenderResourceType::DependentRenderTarget), dependency(dependency_)
{
}

DependentRenderTarget *DependentRenderTarget::create(Allocator &allocator, const TargetDependency &dependency)
{
    return make_new<DependentRenderTarget>(allocator, allocator, dependency);
}

namespace {
// A chain of dependent targets is as deep as the render configuration made it; the bound
// only stops a cycle (a target made to depend on itself through others).
constexpr u32 max_dependency_depth = 16;

bool resolve_at_depth(DependentRenderTarget &target, RenderDevice &device, u32 depth)
{
    if (depth >= max_dependency_depth) {
        log_message("render", "dependent render target chain deeper than %u (a cycle?); size left as it was",
                    max_dependency_depth);
        return false;
    }
    RenderTarget *source = target.dependency.source
                               ? device.render_target(target.dependency.source, target.window_index)
                               : nullptr;
    if (!source || source == &target) {
        log_message("render", "dependent render target has no source in window %u; size left as it was",
                    target.window_index);
        return false;
    }
    if (source->type == RenderResourceType::DependentRenderTarget &&
        !resolve_at_depth(*static_cast<DependentRenderTarget *>(source), device, depth + 1))
        return false;

    const u32 own_format = target.description.format;
    target.description = source->description;
    if (own_format != texture_format_unknown)
        target.description.format = own_format;
    target.description.width =
        dependent_target_size(source->description.width, target.dependency.width_scale, target.dependency.width_align);
    target.description.height = dependent_target_size(source->description.height, target.dependency.height_scale,
                                                      target.dependency.height_align);
    target.sample_count = source->sample_count;
    target.sample_quality = source->sample_quality;
    target.multisampled = source->sample_count > 1 ? 1 : 0;
    return true;
}
} // namespace

bool DependentRenderTarget::resolve(RenderDevice &device) { return resolve_at_depth(*this, device, 0); }

BackBufferWrapper::BackBufferWrapper(Allocator &allocator_, u32 swap_chain_index)
    : RenderTarget(allocator_, RenderResourceType::BackBuffer)
{
    window_index = swap_chain_index;
}

} // namespace tallow
