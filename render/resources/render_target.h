#pragma once
// Texture and render-target records: the objects the device reads through a pointer
// (update record 8, commands 5 and 6) or whose description it copies (record 10).
//
//   RenderTarget *t = make_new<RenderTarget>(allocator, allocator);   // window -1: a template
//   t->description = {format, 0, 1280, 720, 1, 1};
//   context.create_resource(t);   // a template: one instance per window (RenderDevice)
//
// A render target whose window index is -1 is a template standing for every window; the
// device keeps one instance per window (RenderDevice::render_target). A
// `DependentRenderTarget` follows the size of another target in the same window; the
// device calls `resolve` when it creates the instance.
//
// Not thread-safe; records belong to their owner.

#include "foundation/containers/array.h"
#include "render/resources/render_resource.h"

namespace tallow {

class RenderDevice;

/// Texture format code for "not chosen yet": a new texture and a dependent target that
/// takes its source's format carry it.
constexpr u32 texture_format_unknown = 15;
/// Window index of a template that stands for every window.
constexpr u32 template_window_index = 0xFFFFFFFFu;
/// A size that has not been set; dependent sizes keep it rather than rounding it.
constexpr u32 no_size = 0xFFFFFFFFu;

/// The 24-byte description copied into records 10 and command 3.
struct TextureDescription {
    u32 format = texture_format_unknown; // engine format code 0 to 14, 15 unknown
    u32 image_type = 0;                  // 0 2D, 2 cube
    u32 width = 0;
    u32 height = 0;
    u32 face_count = 1;                  // 1, or 6 for a cube
    u32 mip_count = 1;
};
static_assert(sizeof(TextureDescription) == 24);

/// A texture record. `data` holds face x mip pointers to texel data (faces outer, mips
/// inner), owned by whoever filled it; the device reads them when it creates the texture.
class Texture : public RenderResource {
  public:
    explicit Texture(Allocator &allocator, RenderResourceType type = RenderResourceType::Texture);
    virtual ~Texture();

    TextureDescription description;
    Array<const void *> data;
    Allocator *allocator; // the allocator that made the record
};

/// A render target record (type 1); also the base of dependent targets and back buffers.
class RenderTarget : public Texture {
  public:
    explicit RenderTarget(Allocator &allocator, RenderResourceType type = RenderResourceType::RenderTarget);

    u32 window_index = template_window_index; // -1 for a template; a back buffer's swap-chain index
    u32 array_size = 1;
    u32 sample_count = 1;
    u32 sample_quality = 0;
    f32 clear_color[4] = {0, 0, 0, 0};
    u8 multisampled = 0;
    u8 suppress_clear = 0;
    u8 hint_needs_clearing = 0;

    bool is_template() const { return window_index == template_window_index; }
};

/// The size rule of a dependent target: the target it follows and how.
struct TargetDependency {
    const RenderTarget *source = nullptr; // a template or the device's back-buffer key
    f32 width_scale = 1.0f;
    f32 height_scale = 1.0f;
    u32 width_align = 1; // 0 counts as 1
    u32 height_align = 1;
};

/// Decision on the rounding of dependent sizes: the front end's rule holds for both sides
/// (the device calls `resolve`): size = max(1, ceil(source size x scale)) computed in double
/// and clamped to u32, then rounded up to the alignment. An alignment of 0 counts as 1, and
/// a source size of `no_size` stays `no_size` instead of wrapping.
u32 dependent_target_size(u32 source_size, f32 scale, u32 align);

/// A render target (type 2) that follows the size of another target in its window.
class DependentRenderTarget : public RenderTarget {
  public:
    DependentRenderTarget(Allocator &allocator, const TargetDependency &dependency);

    /// A new dependent target on `allocator`; free it with delete_with_allocator.
    static DependentRenderTarget *create(Allocator &allocator, const TargetDependency &dependency);

    /// Sizes this instance after its source's instance in the same window: a dependent
    /// source is resolved first; copies the source's description (keeping its own format
    /// unless that is unknown), applies dependent_target_size, and copies the sample words.
    /// Returns false (and changes nothing) when the source has no instance in the window.
    bool resolve(RenderDevice &device);

    TargetDependency dependency;
};

/// A window's back buffer (type 3). The device makes one per swap chain; the RenderDevice
/// base makes one more that only serves as the key under which back buffers are filed.
class BackBufferWrapper : public RenderTarget {
  public:
    explicit BackBufferWrapper(Allocator &allocator, u32 swap_chain_index = template_window_index);
    u32 swap_chain_index() const { return window_index; }
};

} // namespace tallow
