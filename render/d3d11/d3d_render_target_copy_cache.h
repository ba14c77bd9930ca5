#pragma once
// Private copies of render targets, one per distinct description, for a pass that reads
// a target it also draws into. A copy is made on first request and kept until `clear`.
//
//   D3DRenderTargetCopyCache copies(allocator, texture_creator);
//   RenderTargetRecord *copy = copies.find_or_create(target_desc);
//   context->CopyResource(copy->object->resource(), target->object->resource());
//
// Each copy is its own allocation, so a record handed out stays at its address while
// other copies are added. Safe from any thread (draw jobs ask for copies); `clear` only
// when no draw job runs.

#include "foundation/containers/array.h"
#include "foundation/types.h"
#include "render/d3d11/d3d_texture_creator.h"

#include <mutex>

namespace tallow::render::d3d11 {

class D3DRenderTargetCopyCache {
  public:
    D3DRenderTargetCopyCache(Allocator &allocator, D3DTextureCreator &creator);
    /// Releases every copy.
    ~D3DRenderTargetCopyCache();
    D3DRenderTargetCopyCache(const D3DRenderTargetCopyCache &) = delete;
    D3DRenderTargetCopyCache &operator=(const D3DRenderTargetCopyCache &) = delete;

    /// The copy for targets described like `desc` (format, image type, sizes, slices,
    /// samples); made on first request. Null when the description is refused or memory
    /// runs out.
    RenderTargetRecord *find_or_create(const RenderTargetDesc &desc);
    /// Releases and frees every copy.
    void clear();
    u32 count();

  private:
    Allocator &_allocator;
    D3DTextureCreator &_creator;
    std::mutex _mutex;
    Array<RenderTargetRecord *> _copies;
};

} // namespace tallow::render::d3d11
