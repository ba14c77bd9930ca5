#pragma once
// Test-side view of the headless Direct3D backend: configuration, fault injection, the
// object registry, context journals, draw records, resource bytes, swap-chain records and
// rule diagnostics. Engine code never includes this header; it talks only to d3d11_shim.h and
// dxgi_shim.h, so another backend can replace this one.
//
//   d3d11::headless_reset();                                  // default adapter, 11_0
//   d3d11::headless_fail_next(d3d11::ObjectKind::buffer, 1);  // the next CreateBuffer fails
//   ... run engine code ...
//   auto draws = d3d11::headless_draws(context);
//   EXPECT_EQ(draws[0].vertex_count, 3u);
//   EXPECT_TRUE(d3d11::headless_diagnostics().empty());
//   EXPECT_EQ(d3d11::headless_live_count(d3d11::ObjectKind::buffer), 0u);
//
// Configuration and diagnostics are process-wide; every function is safe from any thread.

#include "platform/d3d11/d3d11_shim.h"

#include <array>
#include <string>
#include <vector>

namespace tallow::d3d11 {

/// Every kind of object the backend makes; also the keys of the create counters and of
/// fault injection (`device` covers D3D11CreateDevice, `factory` CreateDXGIFactory).
enum class ObjectKind : u32 {
    factory,
    adapter,
    output,
    swap_chain,
    device,
    immediate_context,
    deferred_context,
    command_list,
    buffer,
    texture2d,
    shader_resource_view,
    render_target_view,
    depth_stencil_view,
    unordered_access_view,
    rasterizer_state,
    depth_stencil_state,
    blend_state,
    sampler_state,
    vertex_shader,
    hull_shader,
    domain_shader,
    geometry_shader,
    pixel_shader,
    compute_shader,
    input_layout,
    debug,
    count
};
const char *to_string(ObjectKind kind);

struct HeadlessOutput {
    std::string name;                  // device name, e.g. "\\\\.\\DISPLAY1"
    RECT desktop = {0, 0, 1920, 1080};
    std::vector<DXGI_MODE_DESC> modes; // listed for every format asked
};

struct HeadlessAdapter {
    std::string name;
    bool fail_get_desc = false;
    std::vector<HeadlessOutput> outputs;
};

struct HeadlessConfig {
    std::vector<HeadlessAdapter> adapters; // empty: EnumAdapters(0) is DXGI_ERROR_NOT_FOUND
    D3D_FEATURE_LEVEL max_feature_level = D3D_FEATURE_LEVEL_11_0;
    // false: no journal, draw records or byte snapshots (benchmarks). A process that never
    // calls headless_configure() or headless_reset() (a program run) starts with it off.
    bool journal = true;
    // false: resources keep no texels or buffer bytes (benchmarks). Every call is checked,
    // refused and journalled as with bytes, but creation data, clears, copies, updates and
    // draws move nothing, headless_resource_bytes() and the draw records' constant bytes
    // are empty, and a Map hands out scratch memory of the mapping context, reused from one
    // map to the next, whose contents are dropped at Unmap. With the journal off too, a
    // command list keeps no calls: executing it is checked and leaves the immediate
    // context's state as a list does, and does nothing else (there is nothing to show or
    // move). Read by D3D11CreateDevice: a device keeps the modes it was made in.
    bool keep_texels = true;
    // true: an object's record outlives its last Release until the process ends, so a release
    // past zero or a call on a released object is reported (tests). false (a program run):
    // the record goes once nothing names the object any more (its last Release, and no
    // context binding it, command list naming it or view over it), as with a driver, so a
    // program that makes and releases objects every frame stays the same size; a call on a
    // released object is then the program's fault and is not caught. Read at creation.
    bool keep_released_objects = true;
};

/// One adapter "Headless Adapter" with one output "\\\\.\\DISPLAY1" listing 1280×720 and
/// 1920×1080 at 60 Hz, feature level 11_0, journal on.
HeadlessConfig default_headless_config();

/// Sets the configuration read by later CreateDXGIFactory and D3D11CreateDevice calls.
void headless_configure(const HeadlessConfig &config);
/// Restores the default configuration and clears fault injection, create counters and
/// diagnostics. Objects still alive stay alive.
void headless_reset();

/// Makes the next `count` creations of `kind` fail with E_FAIL (E_OUTOFMEMORY for resources).
void headless_fail_next(ObjectKind kind, u32 count);
/// Creations of `kind` asked for since the last reset, failed ones included.
u32 headless_create_count(ObjectKind kind);

/// Arguments of the last D3D11CreateDevice call, failed or not.
struct DeviceCreationRecord {
    u64 adapter = 0; // id of the adapter passed (0 for null)
    D3D_DRIVER_TYPE driver_type = D3D_DRIVER_TYPE_UNKNOWN;
    u32 flags = 0;
    u32 sdk_version = 0;
    std::vector<D3D_FEATURE_LEVEL> levels;
    HRESULT result = S_OK;
    D3D_FEATURE_LEVEL granted = D3D_FEATURE_LEVEL_9_1;
};
DeviceCreationRecord headless_last_device_creation();

// ---- Object registry ----------------------------------------------------------------

/// Serial id of an object of this backend (0 for null). Ids start at 1 and are never reused.
u64 headless_object_id(const void *object);
/// Public reference count of a live object; 0 for null or a released one.
u32 headless_ref_count(const void *object);
/// Live objects of `kind` (public references above zero).
u32 headless_live_count(ObjectKind kind);
/// Records the registry holds, released ones kept for reports included (see
/// HeadlessConfig::keep_released_objects).
u32 headless_record_count();

struct ObjectInfo {
    u64 id = 0;
    ObjectKind kind = ObjectKind::count;
    u32 refs = 0;
    u64 device = 0;                   // id of the creating device (0 for DXGI objects)
    std::vector<u8> description;      // bytes of the creation description
    std::vector<u8> bytecode;         // shaders and input layouts
    std::vector<std::string> semantics; // input layouts: element names in order
};
/// Copy of the registry entry of a live object; false when `object` is unknown or released.
bool headless_object_info(const void *object, ObjectInfo &out_info);

/// One line per object still alive ("buffer #12 refs 1"); empty when nothing leaks.
std::vector<std::string> headless_leaks();
/// The leak report made when the last device reference went away (its children still alive).
std::vector<std::string> headless_last_device_leaks();

// ---- Journals and draw records ----------------------------------------------------

/// Context operations, one per context method.
enum class ContextOp : u32 {
    set_constant_buffers, // args: stage, start, count
    set_shader_resources, // args: stage, start, count
    set_samplers,         // args: stage, start, count
    set_shader,           // args: stage
    set_unordered_access_views, // args: start, count
    set_input_layout,
    set_vertex_buffers,   // args: start, count, then stride and offset per slot
    set_index_buffer,     // args: format, offset
    set_primitive_topology, // args: topology
    set_render_targets,   // objects: views then depth view; args: count
    set_blend_state,      // args: factor ×4, sample mask
    set_depth_stencil_state, // args: stencil ref
    set_rasterizer_state,
    set_viewports,        // args: count, then 6 floats each
    set_scissor_rects,    // args: count, then 4 each
    draw,                 // args: vertex count, start
    draw_indexed,         // args: index count, start, base vertex
    draw_instanced,       // args: per instance, instances, start, start instance
    draw_indexed_instanced, // args: per instance, instances, start, base vertex, start instance
    dispatch,             // args: x, y, z
    map,                  // args: subresource, map type
    unmap,                // args: subresource
    update_subresource,   // args: subresource, bytes written
    copy_resource,        // objects: destination, source
    copy_subresource_region, // objects: destination, source; args: dst sub, x, y, z, src sub, box ×6 or none
    clear_render_target_view, // args: colour ×4
    clear_depth_stencil_view, // args: flags, depth, stencil
    clear_state,
    flush,
    execute_command_list,
    finish_command_list,
};
const char *to_string(ContextOp op);

/// Stages in the order vertex, hull, domain, geometry, pixel, compute.
enum class Stage : u32 { vertex, hull, domain, geometry, pixel, compute, count };

struct JournalEntry {
    ContextOp op;
    std::vector<u64> objects; // object ids (0 for null)
    std::vector<f64> args;    // numeric arguments (see ContextOp)
    bool operator==(const JournalEntry &) const = default;
};

struct StageSnapshot {
    u64 shader = 0;
    std::array<u64, D3D11_COMMONSHADER_INPUT_RESOURCE_SLOT_COUNT> resources{};
    std::array<u64, D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT> constant_buffers{};
    std::array<std::vector<u8>, D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT> constant_bytes; // at draw time
    std::array<u64, D3D11_COMMONSHADER_SAMPLER_SLOT_COUNT> samplers{};
    bool operator==(const StageSnapshot &) const = default;
};

struct VertexBufferSlot {
    u64 buffer = 0;
    u32 stride = 0;
    u32 offset = 0;
    bool operator==(const VertexBufferSlot &) const = default;
};

/// The state a draw or dispatch ran with, and its counts.
struct DrawRecord {
    ContextOp op = ContextOp::draw;
    u32 vertex_count = 0; // vertices or indices per instance
    u32 instance_count = 1;
    u32 start = 0;        // start vertex or index
    i32 base_vertex = 0;
    u32 start_instance = 0;
    u32 groups[3] = {0, 0, 0}; // dispatch
    std::array<u64, D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT> render_targets{};
    u64 depth_stencil_view = 0;
    std::vector<std::array<f32, 6>> viewports; // x, y, width, height, min depth, max depth
    std::vector<std::array<i32, 4>> scissors;  // left, top, right, bottom
    u64 rasterizer_state = 0;
    u64 depth_stencil_state = 0;
    u32 stencil_ref = 0;
    u64 blend_state = 0;
    std::array<f32, 4> blend_factor{1, 1, 1, 1};
    u32 sample_mask = 0xFFFFFFFF;
    std::array<StageSnapshot, 6> stages;
    std::array<u64, D3D11_PS_CS_UAV_REGISTER_COUNT> unordered_access_views{};
    std::array<VertexBufferSlot, D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT> vertex_buffers{};
    u64 index_buffer = 0;
    DXGI_FORMAT index_format = DXGI_FORMAT_UNKNOWN;
    u32 index_offset = 0;
    u64 input_layout = 0;
    u32 topology = 0;
    bool operator==(const DrawRecord &) const = default;
};

/// Copy of a context's journal. A deferred context journals what it records (each
/// FinishCommandList ends a list); executing a list appends execute_command_list and then the
/// list's entries to the immediate context's journal.
std::vector<JournalEntry> headless_journal(ID3D11DeviceContext *context);
/// Copy of the draw records of a context (played-back lists append to the immediate one).
std::vector<DrawRecord> headless_draws(ID3D11DeviceContext *context);
/// Forgets a context's journal and draw records.
void headless_clear_journal(ID3D11DeviceContext *context);

/// Bytes of one subresource of a buffer or texture (tightly packed rows); empty for a
/// resource of a device made with keep_texels off.
std::vector<u8> headless_resource_bytes(ID3D11Resource *resource, UINT subresource = 0);
/// Bytes the backend holds for live objects: resource storage and the contexts' map
/// scratch (with keep_texels off). Command lists' captured bytes are not counted.
u64 headless_storage_bytes();

struct SwapChainRecord {
    u32 present_count = 0;
    std::vector<u32> sync_intervals;
    bool fullscreen = false;
    u64 fullscreen_output = 0;
    u32 resize_buffers_calls = 0;  // successful ones
    u32 resize_target_calls = 0;
    u64 back_buffer = 0;           // id of the current back-buffer texture
    u64 associated_window_flags = 0;
    DXGI_SWAP_CHAIN_DESC desc{};
};
bool headless_swap_chain(IDXGISwapChain *swap_chain, SwapChainRecord &out_record);

// ---- Rule diagnostics --------------------------------------------------------------

enum class Rule : u32 {
    over_release,               // Release past zero
    input_bound_as_output,      // a bound shader-resource view's resource is also a bound output (view nulled)
    target_size_mismatch,       // render targets and depth target of different sizes
    no_overwrite_before_discard, // deferred list: NO_OVERWRITE before a DISCARD of that resource
    map_not_dynamic,            // Map type unfit for the resource's usage (dynamic or staging) and CPU access
    update_dynamic,             // UpdateSubresource on a dynamic resource
    copy_out_of_range,          // copy box outside the source or destination, or unequal resources
    view_without_bind_flag,     // view made on a resource lacking its bind flag
    view_out_of_range,          // view's mips, slices, cubes or elements empty or past the resource
    view_dimension_mismatch,    // view dimension unfit for the resource (buffer/texture, cube, sample count)
    resize_with_references,     // ResizeBuffers while back-buffer references are held
    concurrent_context_use,     // one context entered by two threads at once
    feature_level,              // shader kind blocked by the device's feature level
    invalid_call,               // any other misuse (wrong context type, bad argument, unknown object)
};
const char *to_string(Rule rule);

struct Diagnostic {
    Rule rule;
    std::string message;
};
/// Every diagnostic since the last reset, the first 4096 of them (each is also logged under
/// "d3d11").
std::vector<Diagnostic> headless_diagnostics();
void headless_clear_diagnostics();

} // namespace tallow::d3d11
