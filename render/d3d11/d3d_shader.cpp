#include "render/d3d11/d3d_shader.h"

#include "foundation/log.h"
#include "render/d3d11/d3d_object_caches.h"

namespace tallow::render::d3d11 {
namespace {

const char *const log_category = "d3d11";

// Where each description stage goes in the pass.
const PassStage pass_stage_of[u32(DescStage::count)] = {PassStage::vertex,   PassStage::domain, PassStage::hull,
                                                        PassStage::geometry, PassStage::pixel,  PassStage::compute};

ID3D11DeviceChild *get_stage_shader(D3DObjectCaches &caches, PassStage stage, const ShaderStageDesc &desc)
{
    switch (stage) {
    case PassStage::vertex: return caches.get_vertex_shader(desc.code, desc.code_size);
    case PassStage::hull: return caches.get_hull_shader(desc.code, desc.code_size);
    case PassStage::domain: return caches.get_domain_shader(desc.code, desc.code_size);
    case PassStage::geometry: return caches.get_geometry_shader(desc.code, desc.code_size);
    case PassStage::pixel: return caches.get_pixel_shader(desc.code, desc.code_size);
    case PassStage::compute: return caches.get_compute_shader(desc.code, desc.code_size);
    case PassStage::count: break;
    }
    return nullptr;
}

void release_stage_shader(D3DObjectCaches &caches, PassStage stage, ID3D11DeviceChild *shader)
{
    switch (stage) {
    case PassStage::vertex: caches.release_vertex_shader(static_cast<ID3D11VertexShader *>(shader)); break;
    case PassStage::hull: caches.release_hull_shader(static_cast<ID3D11HullShader *>(shader)); break;
    case PassStage::domain: caches.release_domain_shader(static_cast<ID3D11DomainShader *>(shader)); break;
    case PassStage::geometry: caches.release_geometry_shader(static_cast<ID3D11GeometryShader *>(shader)); break;
    case PassStage::pixel: caches.release_pixel_shader(static_cast<ID3D11PixelShader *>(shader)); break;
    case PassStage::compute: caches.release_compute_shader(static_cast<ID3D11ComputeShader *>(shader)); break;
    case PassStage::count: break;
    }
}

const SamplerStateObject *find_sampler(const D3DShaderPass &pass, u32 name_id)
{
    for (const D3DSamplerEntry &entry : pass.samplers)
        if (entry.name_id == name_id)
            return entry.sampler;
    return nullptr;
}

void bind_resources(D3DShaderStage &stage, const D3DShaderPass &pass, IRenderStateBuilder *states)
{
    const ShaderStageDesc &desc = *stage.desc;
    if (states)
        states->create_constant_buffers(stage.binding, desc);
    stage.binding.samplers.resize(desc.sampler_count);
    for (u32 i = 0; i < stage.binding.samplers.size(); ++i)
        stage.binding.samplers[i] = find_sampler(pass, desc.samplers[i].name_id);
    stage.binding.srgb_flags.resize(desc.resource_count);
    for (u32 i = 0; i < stage.binding.srgb_flags.size(); ++i) {
        const SamplerStateObject *sampler = find_sampler(pass, desc.resources[i].name_id);
        stage.binding.srgb_flags[i] = sampler && sampler->srgb ? 1 : 0;
    }
}

void destroy_pass(Allocator &allocator, D3DObjectCaches &caches, IRenderStateBuilder *states, D3DShaderPass *pass)
{
    if (!pass)
        return;
    // The state objects' Direct3D states stay in the caches.
    delete_with_allocator(allocator, pass->rasterizer);
    delete_with_allocator(allocator, pass->depth_stencil);
    delete_with_allocator(allocator, pass->blend);
    for (u32 s = 0; s < u32(PassStage::count); ++s) {
        D3DShaderStage *stage = pass->stages[s];
        if (!stage)
            continue;
        release_stage_shader(caches, PassStage(s), stage->shader);
        if (states)
            states->destroy_constant_buffers(stage->binding);
        delete_with_allocator(allocator, stage);
    }
    for (D3DSamplerEntry &entry : pass->samplers)
        delete_with_allocator(allocator, entry.sampler);
    delete_with_allocator(allocator, pass);
}

D3DShaderPass *create_pass(Allocator &allocator, D3DObjectCaches &caches, IRenderStateBuilder *states,
                           const ShaderPassDesc &desc)
{
    D3DShaderPass *pass = make_new<D3DShaderPass>(allocator, allocator);
    if (!pass)
        return nullptr;
    bool complete = true;

    pass->samplers.resize(desc.sampler_count);
    complete &= pass->samplers.size() == desc.sampler_count;
    for (u32 i = 0; i < pass->samplers.size(); ++i) {
        pass->samplers[i] = {desc.samplers[i].name_id, make_new<SamplerStateObject>(allocator)};
        SamplerStateObject *sampler = pass->samplers[i].sampler;
        complete &= sampler != nullptr;
        if (!sampler)
            continue;
        if (states)
            states->apply_sampler(*sampler, desc.samplers[i].states);
        else
            sampler->state = caches.get_sampler_state(sampler->desc);
    }

    for (u32 d = 0; d < u32(DescStage::count) && complete; ++d) {
        const ShaderStageDesc &stage_desc = desc.stages[d];
        if (stage_desc.code_size == 0 || !stage_desc.code)
            continue;
        const PassStage slot = pass_stage_of[d];
        ID3D11DeviceChild *shader = get_stage_shader(caches, slot, stage_desc);
        if (!shader)
            continue; // refused byte code or a stage the feature level lacks: absent
        D3DShaderStage *stage = make_new<D3DShaderStage>(allocator, allocator);
        if (!stage) {
            release_stage_shader(caches, slot, shader);
            complete = false;
            break;
        }
        stage->desc = &stage_desc;
        stage->shader = shader;
        pass->stages[u32(slot)] = stage;
        bind_resources(*stage, *pass, states);
    }

    pass->rasterizer = make_new<RasterizerStateObject>(allocator);
    pass->depth_stencil = make_new<DepthStencilStateObject>(allocator);
    pass->blend = make_new<BlendStateObject>(allocator);
    complete &= pass->rasterizer && pass->depth_stencil && pass->blend;
    if (!complete) {
        destroy_pass(allocator, caches, states, pass);
        return nullptr;
    }
    if (states) {
        states->apply_rasterizer(*pass->rasterizer, desc.rasterizer_states);
        states->apply_depth_stencil(*pass->depth_stencil, desc.depth_stencil_states);
        states->apply_blend(*pass->blend, desc.blend_states);
    } else {
        pass->rasterizer->state = caches.get_rasterizer_state(pass->rasterizer->desc);
        pass->depth_stencil->state = caches.get_depth_stencil_state(pass->depth_stencil->desc);
        pass->blend->state = caches.get_blend_state(pass->blend->desc);
    }
    return pass;
}

bool is_valid_binding_list(const ShaderBindingDesc *bindings, u32 count, u32 limit)
{
    return count <= limit && (count == 0 || bindings);
}

} // namespace

bool D3DShader::is_valid_desc(const ShaderDesc &desc)
{
    if (desc.pass_count > max_shader_passes || (desc.pass_count && !desc.passes)) {
        log_message(log_category, "shader refused: %u passes (at most %u)", desc.pass_count, max_shader_passes);
        return false;
    }
    for (u32 p = 0; p < desc.pass_count; ++p) {
        const ShaderPassDesc &pass = desc.passes[p];
        if (pass.sampler_count > max_pass_samplers || (pass.sampler_count && !pass.samplers)) {
            log_message(log_category, "shader refused: pass %u has %u samplers (at most %u)", p, pass.sampler_count,
                        max_pass_samplers);
            return false;
        }
        for (u32 s = 0; s < u32(DescStage::count); ++s) {
            const ShaderStageDesc &stage = pass.stages[s];
            if (!is_valid_binding_list(stage.resources, stage.resource_count, max_stage_resources) ||
                !is_valid_binding_list(stage.samplers, stage.sampler_count, max_stage_samplers)) {
                log_message(log_category,
                            "shader refused: pass %u stage %u binds %u resources and %u samplers (at most %u and %u)",
                            p, s, stage.resource_count, stage.sampler_count, max_stage_resources,
                            max_stage_samplers);
                return false;
            }
        }
    }
    return true;
}

D3DShader *D3DShader::create(Allocator &allocator, D3DObjectCaches &caches, IRenderStateBuilder *states,
                             const ShaderDesc &desc)
{
    if (!is_valid_desc(desc))
        return nullptr;
    D3DShader *shader = make_new<D3DShader>(allocator, allocator);
    if (!shader) {
        log_message(log_category, "shader not made: out of memory");
        return nullptr;
    }
    shader->_pass_mode = desc.pass_mode;
    for (u32 p = 0; p < desc.pass_count; ++p) {
        D3DShaderPass *pass = create_pass(allocator, caches, states, desc.passes[p]);
        if (!pass || !shader->_passes.push_back(pass)) {
            destroy_pass(allocator, caches, states, pass);
            destroy(allocator, caches, states, shader);
            log_message(log_category, "shader not made: out of memory in pass %u", p);
            return nullptr;
        }
    }
    return shader;
}

void D3DShader::destroy(Allocator &allocator, D3DObjectCaches &caches, IRenderStateBuilder *states, D3DShader *shader)
{
    if (!shader)
        return;
    for (D3DShaderPass *pass : shader->_passes)
        destroy_pass(allocator, caches, states, pass);
    shader->_passes.resize(0);
    delete_with_allocator(allocator, shader);
}

} // namespace tallow::render::d3d11
