#include "render/d3d11/d3d_render_target_copy_cache.h"

namespace tallow::render::d3d11 {
namespace {

bool same_description(const RenderTargetDesc &a, const RenderTargetDesc &b)
{
    return a.format == b.format && a.image_type == b.image_type && a.width == b.width && a.height == b.height &&
           a.array_size == b.array_size && a.sample_count == b.sample_count &&
           a.sample_quality == b.sample_quality && a.multisampled == b.multisampled;
}

} // namespace

D3DRenderTargetCopyCache::D3DRenderTargetCopyCache(Allocator &allocator, D3DTextureCreator &creator)
    : _allocator(allocator), _creator(creator), _copies(allocator)
{
}

D3DRenderTargetCopyCache::~D3DRenderTargetCopyCache() { clear(); }

RenderTargetRecord *D3DRenderTargetCopyCache::find_or_create(const RenderTargetDesc &desc)
{
    std::lock_guard<std::mutex> lock(_mutex);
    for (RenderTargetRecord *copy : _copies)
        if (same_description(copy->desc, desc))
            return copy;
    RenderTargetRecord *copy = make_new<RenderTargetRecord>(_allocator, _allocator);
    if (!copy)
        return nullptr;
    if (!_creator.create_render_target(*copy, desc) || !_copies.push_back(copy)) {
        _creator.release_render_target(*copy);
        delete_with_allocator(_allocator, copy);
        return nullptr;
    }
    copy->kind = 1;
    return copy;
}

void D3DRenderTargetCopyCache::clear()
{
    std::lock_guard<std::mutex> lock(_mutex);
    for (RenderTargetRecord *copy : _copies) {
        _creator.release_render_target(*copy);
        delete_with_allocator(_allocator, copy);
    }
    _copies.resize(0);
}

u32 D3DRenderTargetCopyCache::count()
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _copies.size();
}

} // namespace tallow::render::d3d11
