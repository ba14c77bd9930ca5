#pragma once
// The validation front of the Direct3D layer: every Direct3D rule a device call must keep is
// checked here, once, in front of whichever backend executes the call (as a debug layer sits
// in front of a driver). A refused call reports its rule and one message through report()
// (logged under "d3d11" and kept for headless_diagnostics()), so every backend refuses the
// same calls the same way with the same text. The backends only execute.
//
//   auto *device = new DeviceFront<GlDevice>();   // the backend's device behind the front
//   device->CreateBuffer(&desc, nullptr, &buffer); // checked here, then GlDevice::CreateBuffer
//
// A new backend derives its device from Object-like bases implementing ID3D11Device, hands
// out `new DeviceFront<ItsDevice>(...)` and provides, besides the ID3D11Device methods:
//   bool owns_resource(ID3D11Resource *resource);  // a live buffer or 2D texture of its own
// Its Create* methods then see only calls that keep the rules: a non-null out-pointer and
// arguments the front has accepted. What a backend still refuses is what it cannot do (a
// format it has no storage for), not a Direct3D rule.
//
// Rules where the runtime's documentation decided between our earlier backends:
//   - UpdateSubresource refuses immutable resources as it refuses dynamic ones;
//   - an immutable buffer needs initial data;
//   - a cube texture has slices in sixes;
//   - an input layout reads input slots below D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT;
//     its shader byte code is not required (the runtime requires it to match the input
//     signature, which GLSL source does not carry), so neither backend asks for it;
//   - a null out-pointer of a creation call asks only for validation: S_FALSE when the
//     arguments pass (CreateDeferredContext, which has no such form, refuses it).
//   - a box of UpdateSubresource or CopySubresourceRegion is one slice deep (front 0, back 1)
//     and a region copy is placed at depth 0;
//   - OMSetRenderTargets with more views than render-target slots is refused, not clamped;
//   - ClearRenderTargetView needs a colour; CreateSwapChain refuses a missing description or
//     output with a report like a missing device.
//   - a binding call (shader resources, constant buffers, samplers, unordered-access views,
//     vertex buffers, viewports, scissors) past its stage's slots is refused whole, not
//     clamped; so is a count of viewports or scissor rectangles without their array;
//   - Map follows the resource's usage: WRITE_DISCARD or WRITE_NO_OVERWRITE on a dynamic
//     resource with CPU write access, READ / WRITE / READ_WRITE on a staging resource with the
//     CPU access they need; a deferred context maps dynamic resources only;
//   - a shader-resource view whose subresources are a bound output is set to null and
//     reported; binding an output sets to null, without a report, the inputs that read it;
//     both on every backend (the OpenGL backend had neither);
//   - a depth-stencil view has a depth format;
//   - one context's calls come from one thread at a time: a second thread is reported and
//     waits for the first, on every backend (the OpenGL backend had no check);
//   - a draw with no vertex shader, an indexed draw with no index buffer and a dispatch with
//     no compute shader are not refused: the runtime draws nothing for the first and the
//     last and reads indices of 0 for the second. The headless backend records them; the
//     OpenGL backend, which cannot draw without a program or an element buffer, skips them.
#include "platform/d3d11/d3d11_headless.h"

#include <array>
#include <atomic>
#include <mutex>
#include <unordered_set>
#include <vector>

namespace tallow::d3d11 {

/// Records a broken rule (kept for headless_diagnostics()) and logs "rule: message".
void report(Rule rule, const char *format, ...) __attribute__((format(printf, 2, 3)));

/// Byte layout of a format: bytes per block and block width (1, or 4 for BC formats);
/// zero bytes for a format the layer does not know.
struct FormatLayout {
    u32 block_bytes = 0;
    u32 block_size = 1;
};
FormatLayout format_layout(DXGI_FORMAT format);

/// What a view description names, reduced to what every view kind shares. Counts are 64-bit
/// so that cubes times six cannot wrap.
struct ViewShape {
    /// Which resources the dimension fits.
    enum class Fit : u32 { buffer, single_sample, multisample, cube, unknown };
    static constexpr u64 all_mips = ~u64(0); // a shader-resource view's MipLevels of UINT(-1)
    Fit fit = Fit::unknown;
    u32 dimension = 0; // the description's ViewDimension, for the report
    u64 first_mip = 0;
    u64 mip_count = 1;
    u64 first_slice = 0;
    u64 slice_count = 1;
    u64 first_element = 0; // buffers
    u64 element_count = 0;
};
ViewShape shape_of(const D3D11_SHADER_RESOURCE_VIEW_DESC &desc);
ViewShape shape_of(const D3D11_RENDER_TARGET_VIEW_DESC &desc);
ViewShape shape_of(const D3D11_DEPTH_STENCIL_VIEW_DESC &desc);
/// Unordered access has no multisampled dimension: a multisampled texture fits none.
ViewShape shape_of(const D3D11_UNORDERED_ACCESS_VIEW_DESC &desc);

/// The rule checks, one per device call; each reports and returns false when a rule is broken.
/// `owned` says whether the backend knows `resource` as one of its buffers or 2D textures.
namespace rules {
bool create_buffer(const D3D11_BUFFER_DESC *desc, const D3D11_SUBRESOURCE_DATA *initial_data);
bool create_texture2d(const D3D11_TEXTURE2D_DESC *desc);
bool create_view(ID3D11Resource *resource, bool owned, const D3D11_SHADER_RESOURCE_VIEW_DESC *desc);
bool create_view(ID3D11Resource *resource, bool owned, const D3D11_UNORDERED_ACCESS_VIEW_DESC *desc);
bool create_view(ID3D11Resource *resource, bool owned, const D3D11_RENDER_TARGET_VIEW_DESC *desc);
bool create_view(ID3D11Resource *resource, bool owned, const D3D11_DEPTH_STENCIL_VIEW_DESC *desc);
bool create_input_layout(const D3D11_INPUT_ELEMENT_DESC *elements, UINT element_count, const void *bytecode,
                         SIZE_T length);
/// `kind` names the shader kind; `device_level` is the device's feature level.
bool create_shader(ObjectKind kind, const void *bytecode, SIZE_T length, D3D_FEATURE_LEVEL device_level);
bool create_state(ObjectKind kind, const void *desc);
bool create_deferred_context(UINT flags);

/// Context calls. `owned` as above; `deferred` says which kind of context is called.
/// A box, when given, lies inside the subresource (one slice deep, one row for a buffer).
bool update_subresource(ID3D11Resource *resource, bool owned, UINT subresource, const D3D11_BOX *box,
                        const void *data);
bool copy_resource(ID3D11Resource *destination, bool destination_owned, ID3D11Resource *source, bool source_owned);
/// Both resources of one kind and texel layout; the source box (the whole source subresource
/// when null) inside the source and, placed at x, y, z, inside the destination.
bool copy_subresource_region(ID3D11Resource *destination, bool destination_owned, UINT destination_subresource,
                             UINT x, UINT y, UINT z, ID3D11Resource *source, bool source_owned,
                             UINT source_subresource, const D3D11_BOX *source_box);
/// Map of a subresource of a resource of this backend, with an output; `open` says the
/// context has that subresource mapped already.
bool map(ID3D11Resource *resource, bool owned, UINT subresource, bool has_output);
bool map_not_open(bool open, UINT subresource);
/// The map type fits the (owned) resource's usage and CPU access, and the context's kind.
bool map_type(ID3D11Resource *resource, D3D11_MAP type, bool deferred);
/// `released`: the caller has released its last reference to the resource.
bool map_live(bool released);
/// A binding call `what` names slots [start, start + count) of `slots`.
bool bind_slots(const char *what, UINT start, UINT count, UINT slots);
/// RSSetViewports and RSSetScissorRects: `count` items come with their array.
bool bind_items(const char *what, UINT count, const void *items);
/// Reported only: the view just bound at `stage` (vertex, hull, domain, geometry, pixel,
/// compute: 0-5) `slot` reads a bound output, so the slot is set to null.
void input_bound_as_output(u32 stage, UINT slot);
/// `was_open`: the context had the subresource mapped.
bool unmap(bool was_open, UINT subresource);
/// On a deferred context, NO_OVERWRITE needs an earlier DISCARD of the resource in the same
/// command list; reported only, the map is carried out.
bool no_overwrite_after_discard(D3D11_MAP type, bool discarded);
/// A command list finished with maps still open drops them; reported, the list is still made.
bool finish_with_maps(size_t open_maps);
/// Render targets fit the slots; outputs of unequal sizes are reported, the call still made.
bool set_render_targets(UINT count);
bool render_target_sizes(UINT count, ID3D11RenderTargetView *const *views, ID3D11DepthStencilView *depth);
/// `view_owned`: the view is a view of a resource of this backend.
bool clear_render_target_view(bool view_owned, const FLOAT *color);
bool clear_depth_stencil_view(bool view_owned);
/// `list_owned`: the list is a command list of the context's backend.
bool execute_command_list(bool deferred, bool list_owned);
bool finish_command_list(bool deferred, bool has_output);

/// Swap chains. `references`: the references callers hold to the back buffer.
bool resize_buffers(long references);
/// `device_owned`: the device is a device of the factory's backend.
bool create_swap_chain(bool device_owned, const DXGI_SWAP_CHAIN_DESC *desc, bool has_output);
} // namespace rules

/// What a context front keeps of the views bound to its context, for the rule that a
/// subresource is never read and written at once. Views are kept as the subresources they
/// cover (read through GetResource and GetDesc when bound) and never dereferenced later.
/// Stages are numbered vertex, hull, domain, geometry, pixel, compute (0-5).
class BindingHazards {
public:
    struct Slot {
        u32 stage;
        UINT slot;
    };
    /// Records the shader-resource views bound at `stage`; fills the slots whose view reads
    /// a bound output (they are not recorded: the front sets them to null).
    void bind_inputs(u32 stage, UINT start, UINT count, ID3D11ShaderResourceView *const *views,
                     std::vector<Slot> &out_refused);
    /// Records the outputs of OMSetRenderTargets; fills the input slots they unbind.
    void bind_targets(UINT count, ID3D11RenderTargetView *const *views, ID3D11DepthStencilView *depth,
                      std::vector<Slot> &out_unbound);
    /// Records unordered-access views; fills the input slots they unbind.
    void bind_unordered(UINT start, UINT count, ID3D11UnorderedAccessView *const *views,
                        std::vector<Slot> &out_unbound);
    void clear();

private:
    /// Subresources of one resource: mips [first_mip, mip_end), slices [first_slice, slice_end).
    struct Span {
        ID3D11Resource *resource = nullptr; // identity only
        u64 first_mip = 0, mip_end = 0;
        u64 first_slice = 0, slice_end = 0;
    };
    struct Input {
        Slot at;
        Span span;
    };
    template <class View, class Desc> static Span span_of(View *view);
    static bool overlaps(const Span &a, const Span &b);
    bool is_output(const Span &input) const;
    void unbind_readers(const Span &output, std::vector<Slot> &out_unbound);

    std::vector<Input> _inputs; // bound shader-resource views, any order
    std::array<Span, D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT> _targets{};
    Span _depth;
    std::array<Span, D3D11_PS_CS_UAV_REGISTER_COUNT> _unordered{};
    std::mutex _mutex; // a context is used by one thread at a time, but misuse must stay sound
};

/// One context's calls come from one thread at a time. A call entered while another thread
/// is inside the context is reported and waits its turn, so misuse stays sound; a call made
/// from inside a call on the same thread (a command list replaying) is let through.
class ContextUse {
public:
    class Entry {
    public:
        Entry(ContextUse &use, bool deferred);
        ~Entry();
        Entry(const Entry &) = delete;
        Entry &operator=(const Entry &) = delete;

    private:
        ContextUse &_use;
        bool _nested = false;
    };

private:
    std::atomic<u64> _owner{0}; // a hash of the thread inside the context, 0 when none
};

/// The front a backend device sits behind; see the top of this file. Contexts sit behind
/// ContextFront below.
template <class Backend> class DeviceFront final : public Backend {
public:
    using Backend::Backend;

    HRESULT CreateBuffer(const D3D11_BUFFER_DESC *desc, const D3D11_SUBRESOURCE_DATA *initial_data,
                         ID3D11Buffer **out_buffer) override
    {
        return pass(rules::create_buffer(desc, initial_data), out_buffer,
                    [&] { return Backend::CreateBuffer(desc, initial_data, out_buffer); });
    }
    HRESULT CreateTexture2D(const D3D11_TEXTURE2D_DESC *desc, const D3D11_SUBRESOURCE_DATA *initial_data,
                            ID3D11Texture2D **out_texture) override
    {
        return pass(rules::create_texture2d(desc), out_texture,
                    [&] { return Backend::CreateTexture2D(desc, initial_data, out_texture); });
    }
    HRESULT CreateShaderResourceView(ID3D11Resource *resource, const D3D11_SHADER_RESOURCE_VIEW_DESC *desc,
                                     ID3D11ShaderResourceView **out_view) override
    {
        return pass(rules::create_view(resource, this->owns_resource(resource), desc), out_view,
                    [&] { return Backend::CreateShaderResourceView(resource, desc, out_view); });
    }
    HRESULT CreateUnorderedAccessView(ID3D11Resource *resource, const D3D11_UNORDERED_ACCESS_VIEW_DESC *desc,
                                      ID3D11UnorderedAccessView **out_view) override
    {
        return pass(rules::create_view(resource, this->owns_resource(resource), desc), out_view,
                    [&] { return Backend::CreateUnorderedAccessView(resource, desc, out_view); });
    }
    HRESULT CreateRenderTargetView(ID3D11Resource *resource, const D3D11_RENDER_TARGET_VIEW_DESC *desc,
                                   ID3D11RenderTargetView **out_view) override
    {
        return pass(rules::create_view(resource, this->owns_resource(resource), desc), out_view,
                    [&] { return Backend::CreateRenderTargetView(resource, desc, out_view); });
    }
    HRESULT CreateDepthStencilView(ID3D11Resource *resource, const D3D11_DEPTH_STENCIL_VIEW_DESC *desc,
                                   ID3D11DepthStencilView **out_view) override
    {
        return pass(rules::create_view(resource, this->owns_resource(resource), desc), out_view,
                    [&] { return Backend::CreateDepthStencilView(resource, desc, out_view); });
    }
    HRESULT CreateInputLayout(const D3D11_INPUT_ELEMENT_DESC *elements, UINT element_count, const void *bytecode,
                              SIZE_T length, ID3D11InputLayout **out_layout) override
    {
        return pass(rules::create_input_layout(elements, element_count, bytecode, length), out_layout,
                    [&] { return Backend::CreateInputLayout(elements, element_count, bytecode, length, out_layout); });
    }
    HRESULT CreateVertexShader(const void *bytecode, SIZE_T length, ID3D11ClassLinkage *linkage,
                               ID3D11VertexShader **out_shader) override
    {
        return pass(rules::create_shader(ObjectKind::vertex_shader, bytecode, length, this->GetFeatureLevel()),
                    out_shader, [&] { return Backend::CreateVertexShader(bytecode, length, linkage, out_shader); });
    }
    HRESULT CreateGeometryShader(const void *bytecode, SIZE_T length, ID3D11ClassLinkage *linkage,
                                 ID3D11GeometryShader **out_shader) override
    {
        return pass(rules::create_shader(ObjectKind::geometry_shader, bytecode, length, this->GetFeatureLevel()),
                    out_shader, [&] { return Backend::CreateGeometryShader(bytecode, length, linkage, out_shader); });
    }
    HRESULT CreatePixelShader(const void *bytecode, SIZE_T length, ID3D11ClassLinkage *linkage,
                              ID3D11PixelShader **out_shader) override
    {
        return pass(rules::create_shader(ObjectKind::pixel_shader, bytecode, length, this->GetFeatureLevel()),
                    out_shader, [&] { return Backend::CreatePixelShader(bytecode, length, linkage, out_shader); });
    }
    HRESULT CreateHullShader(const void *bytecode, SIZE_T length, ID3D11ClassLinkage *linkage,
                             ID3D11HullShader **out_shader) override
    {
        return pass(rules::create_shader(ObjectKind::hull_shader, bytecode, length, this->GetFeatureLevel()),
                    out_shader, [&] { return Backend::CreateHullShader(bytecode, length, linkage, out_shader); });
    }
    HRESULT CreateDomainShader(const void *bytecode, SIZE_T length, ID3D11ClassLinkage *linkage,
                               ID3D11DomainShader **out_shader) override
    {
        return pass(rules::create_shader(ObjectKind::domain_shader, bytecode, length, this->GetFeatureLevel()),
                    out_shader, [&] { return Backend::CreateDomainShader(bytecode, length, linkage, out_shader); });
    }
    HRESULT CreateComputeShader(const void *bytecode, SIZE_T length, ID3D11ClassLinkage *linkage,
                                ID3D11ComputeShader **out_shader) override
    {
        return pass(rules::create_shader(ObjectKind::compute_shader, bytecode, length, this->GetFeatureLevel()),
                    out_shader, [&] { return Backend::CreateComputeShader(bytecode, length, linkage, out_shader); });
    }
    HRESULT CreateBlendState(const D3D11_BLEND_DESC *desc, ID3D11BlendState **out_state) override
    {
        return pass(rules::create_state(ObjectKind::blend_state, desc), out_state,
                    [&] { return Backend::CreateBlendState(desc, out_state); });
    }
    HRESULT CreateDepthStencilState(const D3D11_DEPTH_STENCIL_DESC *desc, ID3D11DepthStencilState **out_state) override
    {
        return pass(rules::create_state(ObjectKind::depth_stencil_state, desc), out_state,
                    [&] { return Backend::CreateDepthStencilState(desc, out_state); });
    }
    HRESULT CreateRasterizerState(const D3D11_RASTERIZER_DESC *desc, ID3D11RasterizerState **out_state) override
    {
        return pass(rules::create_state(ObjectKind::rasterizer_state, desc), out_state,
                    [&] { return Backend::CreateRasterizerState(desc, out_state); });
    }
    HRESULT CreateSamplerState(const D3D11_SAMPLER_DESC *desc, ID3D11SamplerState **out_state) override
    {
        return pass(rules::create_state(ObjectKind::sampler_state, desc), out_state,
                    [&] { return Backend::CreateSamplerState(desc, out_state); });
    }
    HRESULT CreateDeferredContext(UINT flags, ID3D11DeviceContext **out_context) override
    {
        // Unlike the creation calls, this one has no validate-only form.
        if (!out_context) return E_INVALIDARG;
        return pass(rules::create_deferred_context(flags), out_context,
                    [&] { return Backend::CreateDeferredContext(flags, out_context); });
    }

private:
    /// A refused call leaves a null object; a null out-pointer only validates.
    template <class Interface, class Execute> static HRESULT pass(bool allowed, Interface **out, Execute &&execute)
    {
        if (out) *out = nullptr;
        if (!allowed) return E_INVALIDARG;
        if (!out) return S_FALSE;
        return execute();
    }
};

/// The front a backend context sits behind. A new backend hands out
/// `new ContextFront<ItsContext>(...)` and provides, besides the ID3D11DeviceContext methods:
///   bool owns_resource(ID3D11Resource *resource);     // as for the device
///   bool owns_command_list(ID3D11CommandList *list);  // a command list it recorded
///   bool is_released(ID3D11Resource *resource);       // its last reference is released (a
///                                                     // backend that frees it then says false)
///   void unbind_shader_resource(u32 stage, UINT slot); // sets one input slot to null, as a
///                                                     // call of the context (recorded when deferred)
/// The front enters every call (one thread at a time, ContextUse) and keeps what the rules
/// need of the context's past: which subresources are mapped and which views are bound. A command list replays through the backend as it was
/// recorded, checked then: while it executes, the front checks no binding again.
template <class Backend> class ContextFront final : public Backend {
public:
    using Backend::Backend;

    // ---- Bindings ----------------------------------------------------------------------

    void VSSetShaderResources(UINT s, UINT n, ID3D11ShaderResourceView *const *v) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        set_inputs(0, "VSSetShaderResources", s, n, v, [&] { Backend::VSSetShaderResources(s, n, v); });
    }
    void HSSetShaderResources(UINT s, UINT n, ID3D11ShaderResourceView *const *v) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        set_inputs(1, "HSSetShaderResources", s, n, v, [&] { Backend::HSSetShaderResources(s, n, v); });
    }
    void DSSetShaderResources(UINT s, UINT n, ID3D11ShaderResourceView *const *v) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        set_inputs(2, "DSSetShaderResources", s, n, v, [&] { Backend::DSSetShaderResources(s, n, v); });
    }
    void GSSetShaderResources(UINT s, UINT n, ID3D11ShaderResourceView *const *v) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        set_inputs(3, "GSSetShaderResources", s, n, v, [&] { Backend::GSSetShaderResources(s, n, v); });
    }
    void PSSetShaderResources(UINT s, UINT n, ID3D11ShaderResourceView *const *v) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        set_inputs(4, "PSSetShaderResources", s, n, v, [&] { Backend::PSSetShaderResources(s, n, v); });
    }
    void CSSetShaderResources(UINT s, UINT n, ID3D11ShaderResourceView *const *v) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        set_inputs(5, "CSSetShaderResources", s, n, v, [&] { Backend::CSSetShaderResources(s, n, v); });
    }

    void VSSetConstantBuffers(UINT s, UINT n, ID3D11Buffer *const *b) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (rules::bind_slots("VSSetConstantBuffers", s, n, cb_slots)) Backend::VSSetConstantBuffers(s, n, b);
    }
    void HSSetConstantBuffers(UINT s, UINT n, ID3D11Buffer *const *b) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (rules::bind_slots("HSSetConstantBuffers", s, n, cb_slots)) Backend::HSSetConstantBuffers(s, n, b);
    }
    void DSSetConstantBuffers(UINT s, UINT n, ID3D11Buffer *const *b) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (rules::bind_slots("DSSetConstantBuffers", s, n, cb_slots)) Backend::DSSetConstantBuffers(s, n, b);
    }
    void GSSetConstantBuffers(UINT s, UINT n, ID3D11Buffer *const *b) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (rules::bind_slots("GSSetConstantBuffers", s, n, cb_slots)) Backend::GSSetConstantBuffers(s, n, b);
    }
    void PSSetConstantBuffers(UINT s, UINT n, ID3D11Buffer *const *b) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (rules::bind_slots("PSSetConstantBuffers", s, n, cb_slots)) Backend::PSSetConstantBuffers(s, n, b);
    }
    void CSSetConstantBuffers(UINT s, UINT n, ID3D11Buffer *const *b) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (rules::bind_slots("CSSetConstantBuffers", s, n, cb_slots)) Backend::CSSetConstantBuffers(s, n, b);
    }

    void VSSetSamplers(UINT s, UINT n, ID3D11SamplerState *const *p) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (rules::bind_slots("VSSetSamplers", s, n, sampler_slots)) Backend::VSSetSamplers(s, n, p);
    }
    void HSSetSamplers(UINT s, UINT n, ID3D11SamplerState *const *p) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (rules::bind_slots("HSSetSamplers", s, n, sampler_slots)) Backend::HSSetSamplers(s, n, p);
    }
    void DSSetSamplers(UINT s, UINT n, ID3D11SamplerState *const *p) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (rules::bind_slots("DSSetSamplers", s, n, sampler_slots)) Backend::DSSetSamplers(s, n, p);
    }
    void GSSetSamplers(UINT s, UINT n, ID3D11SamplerState *const *p) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (rules::bind_slots("GSSetSamplers", s, n, sampler_slots)) Backend::GSSetSamplers(s, n, p);
    }
    void PSSetSamplers(UINT s, UINT n, ID3D11SamplerState *const *p) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (rules::bind_slots("PSSetSamplers", s, n, sampler_slots)) Backend::PSSetSamplers(s, n, p);
    }
    void CSSetSamplers(UINT s, UINT n, ID3D11SamplerState *const *p) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (rules::bind_slots("CSSetSamplers", s, n, sampler_slots)) Backend::CSSetSamplers(s, n, p);
    }

    void CSSetUnorderedAccessViews(UINT start, UINT count, ID3D11UnorderedAccessView *const *views,
                                   const UINT *initial_counts) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (!rules::bind_slots("CSSetUnorderedAccessViews", start, count, D3D11_PS_CS_UAV_REGISTER_COUNT)) return;
        Backend::CSSetUnorderedAccessViews(start, count, views, initial_counts);
        if (_replaying) return;
        std::vector<BindingHazards::Slot> unbound;
        _hazards.bind_unordered(start, count, views, unbound);
        for (const BindingHazards::Slot &at : unbound) this->unbind_shader_resource(at.stage, at.slot);
    }
    void IASetVertexBuffers(UINT start, UINT count, ID3D11Buffer *const *buffers, const UINT *strides,
                            const UINT *offsets) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (!rules::bind_slots("IASetVertexBuffers", start, count, D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT)) return;
        Backend::IASetVertexBuffers(start, count, buffers, strides, offsets);
    }
    void RSSetViewports(UINT count, const D3D11_VIEWPORT *viewports) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (!rules::bind_slots("RSSetViewports", 0, count, viewport_slots) ||
            !rules::bind_items("RSSetViewports", count, viewports))
            return;
        Backend::RSSetViewports(count, viewports);
    }
    void RSSetScissorRects(UINT count, const D3D11_RECT *rects) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (!rules::bind_slots("RSSetScissorRects", 0, count, viewport_slots) ||
            !rules::bind_items("RSSetScissorRects", count, rects))
            return;
        Backend::RSSetScissorRects(count, rects);
    }
    void ClearState() override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        Backend::ClearState();
        _hazards.clear();
    }

    // ---- Calls no rule checks beyond the one-thread rule ------------------------------

    void VSSetShader(ID3D11VertexShader *s, ID3D11ClassInstance *const *i, UINT n) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        Backend::VSSetShader(s, i, n);
    }
    void HSSetShader(ID3D11HullShader *s, ID3D11ClassInstance *const *i, UINT n) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        Backend::HSSetShader(s, i, n);
    }
    void DSSetShader(ID3D11DomainShader *s, ID3D11ClassInstance *const *i, UINT n) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        Backend::DSSetShader(s, i, n);
    }
    void GSSetShader(ID3D11GeometryShader *s, ID3D11ClassInstance *const *i, UINT n) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        Backend::GSSetShader(s, i, n);
    }
    void PSSetShader(ID3D11PixelShader *s, ID3D11ClassInstance *const *i, UINT n) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        Backend::PSSetShader(s, i, n);
    }
    void CSSetShader(ID3D11ComputeShader *s, ID3D11ClassInstance *const *i, UINT n) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        Backend::CSSetShader(s, i, n);
    }
    void IASetInputLayout(ID3D11InputLayout *layout) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        Backend::IASetInputLayout(layout);
    }
    void IASetIndexBuffer(ID3D11Buffer *buffer, DXGI_FORMAT format, UINT offset) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        Backend::IASetIndexBuffer(buffer, format, offset);
    }
    void IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY topology) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        Backend::IASetPrimitiveTopology(topology);
    }
    void OMSetBlendState(ID3D11BlendState *state, const FLOAT factor[4], UINT mask) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        Backend::OMSetBlendState(state, factor, mask);
    }
    void OMSetDepthStencilState(ID3D11DepthStencilState *state, UINT ref) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        Backend::OMSetDepthStencilState(state, ref);
    }
    void RSSetState(ID3D11RasterizerState *state) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        Backend::RSSetState(state);
    }
    void Draw(UINT count, UINT start) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        Backend::Draw(count, start);
    }
    void DrawIndexed(UINT count, UINT start, INT base) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        Backend::DrawIndexed(count, start, base);
    }
    void DrawInstanced(UINT count, UINT instances, UINT start, UINT first_instance) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        Backend::DrawInstanced(count, instances, start, first_instance);
    }
    void DrawIndexedInstanced(UINT count, UINT instances, UINT start, INT base, UINT first_instance) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        Backend::DrawIndexedInstanced(count, instances, start, base, first_instance);
    }
    void Dispatch(UINT x, UINT y, UINT z) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        Backend::Dispatch(x, y, z);
    }
    void Flush() override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        Backend::Flush();
    }

    // ---- Data --------------------------------------------------------------------------

    HRESULT Map(ID3D11Resource *resource, UINT subresource, D3D11_MAP type, UINT flags,
                D3D11_MAPPED_SUBRESOURCE *out) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (out) *out = {};
        if (!rules::map(resource, this->owns_resource(resource), subresource, out != nullptr)) return E_INVALIDARG;
        std::lock_guard lock(_maps_mutex);
        if (!rules::map_not_open(find_map(resource, subresource) != _open_maps.end(), subresource))
            return E_INVALIDARG;
        if (!rules::map_type(resource, type, is_deferred())) return E_INVALIDARG;
        // A command list may name resources released after it was recorded (it holds them).
        if (!is_deferred() && !_replaying && !rules::map_live(this->is_released(resource))) return E_INVALIDARG;
        const HRESULT result = Backend::Map(resource, subresource, type, flags, out);
        if (FAILED(result)) return result;
        _open_maps.push_back({resource, subresource});
        if (is_deferred()) {
            // Reported only: the map itself is carried out.
            rules::no_overwrite_after_discard(type, _discarded.count(resource) != 0);
            if (type == D3D11_MAP_WRITE_DISCARD) _discarded.insert(resource);
        }
        return result;
    }
    void Unmap(ID3D11Resource *resource, UINT subresource) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        {
            std::lock_guard lock(_maps_mutex);
            const auto open = find_map(resource, subresource);
            if (!rules::unmap(open != _open_maps.end(), subresource)) return;
            _open_maps.erase(open);
        }
        Backend::Unmap(resource, subresource);
    }
    void UpdateSubresource(ID3D11Resource *destination, UINT subresource, const D3D11_BOX *box, const void *data,
                           UINT row_pitch, UINT depth_pitch) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (!rules::update_subresource(destination, this->owns_resource(destination), subresource, box, data)) return;
        Backend::UpdateSubresource(destination, subresource, box, data, row_pitch, depth_pitch);
    }
    void CopySubresourceRegion(ID3D11Resource *destination, UINT destination_subresource, UINT x, UINT y, UINT z,
                               ID3D11Resource *source, UINT source_subresource, const D3D11_BOX *source_box) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (!rules::copy_subresource_region(destination, this->owns_resource(destination), destination_subresource, x,
                                            y, z, source, this->owns_resource(source), source_subresource, source_box))
            return;
        Backend::CopySubresourceRegion(destination, destination_subresource, x, y, z, source, source_subresource,
                                       source_box);
    }
    void CopyResource(ID3D11Resource *destination, ID3D11Resource *source) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (!rules::copy_resource(destination, this->owns_resource(destination), source, this->owns_resource(source)))
            return;
        Backend::CopyResource(destination, source);
    }
    void OMSetRenderTargets(UINT count, ID3D11RenderTargetView *const *views, ID3D11DepthStencilView *depth) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (!rules::set_render_targets(count)) return;
        rules::render_target_sizes(count, views, depth);
        Backend::OMSetRenderTargets(count, views, depth);
        if (_replaying) return;
        std::vector<BindingHazards::Slot> unbound;
        _hazards.bind_targets(count, views, depth, unbound);
        for (const BindingHazards::Slot &at : unbound) this->unbind_shader_resource(at.stage, at.slot);
    }
    void ClearRenderTargetView(ID3D11RenderTargetView *view, const FLOAT color[4]) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (!rules::clear_render_target_view(owns_view(view), color)) return;
        Backend::ClearRenderTargetView(view, color);
    }
    void ClearDepthStencilView(ID3D11DepthStencilView *view, UINT flags, FLOAT depth, UINT8 stencil) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (!rules::clear_depth_stencil_view(owns_view(view))) return;
        Backend::ClearDepthStencilView(view, flags, depth, stencil);
    }
    void ExecuteCommandList(ID3D11CommandList *list, BOOL restore_state) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (!rules::execute_command_list(is_deferred(), this->owns_command_list(list))) return;
        _replaying = true;
        Backend::ExecuteCommandList(list, restore_state);
        _replaying = false;
        if (!restore_state) _hazards.clear(); // the context's state is cleared after the list
    }
    HRESULT FinishCommandList(BOOL restore_state, ID3D11CommandList **out_list) override
    {
        const ContextUse::Entry entry(_use, is_deferred());
        if (out_list) *out_list = nullptr;
        if (!rules::finish_command_list(is_deferred(), out_list != nullptr)) return DXGI_ERROR_INVALID_CALL;
        std::lock_guard lock(_maps_mutex);
        rules::finish_with_maps(_open_maps.size());
        _open_maps.clear();
        const HRESULT result = Backend::FinishCommandList(restore_state, out_list);
        if (SUCCEEDED(result)) _discarded.clear(); // the next list starts with no DISCARD seen
        if (SUCCEEDED(result) && !restore_state) _hazards.clear();
        return result;
    }

private:
    static constexpr UINT cb_slots = D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT;
    static constexpr UINT sampler_slots = D3D11_COMMONSHADER_SAMPLER_SLOT_COUNT;
    static constexpr UINT viewport_slots = D3D11_VIEWPORT_AND_SCISSORRECT_OBJECT_COUNT_PER_PIPELINE;

    ContextUse _use;
    BindingHazards _hazards;
    bool _replaying = false; // a command list executes on this (immediate) context

    /// The backend binds the views as given, so its record of the call shows what the caller
    /// passed; the slots whose view reads a bound output are then set to null.
    template <class Bind>
    void set_inputs(u32 stage, const char *what, UINT start, UINT count, ID3D11ShaderResourceView *const *views,
                    Bind &&bind)
    {
        if (!rules::bind_slots(what, start, count, D3D11_COMMONSHADER_INPUT_RESOURCE_SLOT_COUNT)) return;
        std::vector<BindingHazards::Slot> refused;
        if (!_replaying) _hazards.bind_inputs(stage, start, count, views, refused);
        bind();
        for (const BindingHazards::Slot &at : refused) {
            rules::input_bound_as_output(stage, at.slot);
            this->unbind_shader_resource(stage, at.slot);
        }
    }

    struct OpenMap {
        ID3D11Resource *resource;
        UINT subresource;
    };
    /// The subresources mapped on this context and not yet unmapped, in the order mapped.
    std::vector<OpenMap> _open_maps;
    /// Resources mapped with DISCARD in the command list being recorded (deferred contexts).
    std::unordered_set<ID3D11Resource *> _discarded;
    std::mutex _maps_mutex; // a context is used by one thread at a time, but misuse must stay sound

    typename std::vector<OpenMap>::iterator find_map(ID3D11Resource *resource, UINT subresource)
    {
        auto at = _open_maps.begin();
        while (at != _open_maps.end() && !(at->resource == resource && at->subresource == subresource)) ++at;
        return at;
    }
    bool is_deferred() { return this->GetType() == D3D11_DEVICE_CONTEXT_DEFERRED; }
    /// A view is the backend's when the resource it views is.
    bool owns_view(ID3D11View *view)
    {
        if (!view) return false;
        ID3D11Resource *resource = nullptr;
        view->GetResource(&resource);
        const bool owned = resource && this->owns_resource(resource);
        if (resource) resource->Release();
        return owned;
    }
};

/// The fronts a backend's swap chain and factory sit behind. A new backend hands out
/// `new SwapChainFront<ItsSwapChain>(...)` and `new FactoryFront<ItsFactory>(...)` and provides:
///   long back_buffer_references();         // references callers hold to the back buffer
///   bool owns_device(IUnknown *device);    // a device of its own
template <class Backend> class SwapChainFront final : public Backend {
public:
    using Backend::Backend;

    HRESULT ResizeBuffers(UINT buffer_count, UINT width, UINT height, DXGI_FORMAT format, UINT flags) override
    {
        if (!rules::resize_buffers(this->back_buffer_references())) return DXGI_ERROR_INVALID_CALL;
        return Backend::ResizeBuffers(buffer_count, width, height, format, flags);
    }
};

template <class Backend> class FactoryFront final : public Backend {
public:
    using Backend::Backend;

    HRESULT CreateSwapChain(IUnknown *device, DXGI_SWAP_CHAIN_DESC *desc, IDXGISwapChain **out_swap_chain) override
    {
        if (out_swap_chain) *out_swap_chain = nullptr;
        if (!rules::create_swap_chain(device && this->owns_device(device), desc, out_swap_chain != nullptr))
            return E_INVALIDARG;
        return Backend::CreateSwapChain(device, desc, out_swap_chain);
    }
};

} // namespace tallow::d3d11
