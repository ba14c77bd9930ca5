#include "render/d3d11/d3d_render_device.h"

#include "foundation/fatal_error.h"
#include "render/device/device_settings.h"
#include "platform/window/window.h"
#include "foundation/config/config_value.h"
#include "foundation/io/render_settings_store.h"
#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/job.h"
#include "render/d3d11/d3d_render_state_builder.h"
#include "render/d3d11/d3d_resource_manager.h"
#include "render/d3d11/nv_stereo.h"

#include <cstring>

namespace tallow::render::d3d11 {
namespace {

const char *const log_category = "d3d11";
constexpr u32 no_swap_chain = 0xFFFFFFFFu;
constexpr UINT sdk_version = 7;

// One range of a parallel dispatch: its render context and the state it starts from.
void dispatch_job(const JobData &batch)
{
    const auto *entries = batch.stream_as<RenderSortEntry>(0);
    D3DRenderContext *context = *batch.stream_as<D3DRenderContext *>(1);
    const auto *start = batch.stream_as<ContextTargetState>(2);
    context->begin_frame(); // each list opens its rings with a DISCARD
    context->restore_target_state(*start);
    context->execute(entries, batch.count());
    context->finish_command_list();
}

} // namespace

const char *feature_level_name(D3D_FEATURE_LEVEL level)
{
    switch (level) {
    case D3D_FEATURE_LEVEL_9_1: return "DX9_1";
    case D3D_FEATURE_LEVEL_9_2: return "DX9_2";
    case D3D_FEATURE_LEVEL_9_3: return "DX9_3";
    case D3D_FEATURE_LEVEL_10_0: return "DX10_0";
    case D3D_FEATURE_LEVEL_10_1: return "DX10_1";
    case D3D_FEATURE_LEVEL_11_0: return "DX11_0";
    default: return "";
    }
}

DispatchSplit split_dispatch(u32 entry_count)
{
    if (entry_count == 0)
        return {0, 0};
    const u32 size = entry_count / 20 > 20 ? entry_count / 20 : 20;
    return {size, (entry_count + size - 1) / size};
}

D3DRenderDevice::D3DRenderDevice(Allocator &parent, const D3DRenderDeviceParams &params)
    : RenderDevice(parent), _allocator("D3DRenderDevice", parent), _params(params), _swap_chains(_allocator),
      _range_pool(_allocator), _sorted(_allocator)
{
    if (FAILED(CreateDXGIFactory(IID_IDXGIFactory, reinterpret_cast<void **>(_factory.put()))))
        log_message(log_category, "the DXGI factory cannot be created");
    _stereo_available = nvapi_initialize() == 0;
}

bool D3DRenderDevice::read_stereo(StereoReading *out) const
{
    if (_stereo_handle == 0)
        return false;
    *out = StereoReading{};
    u8 activated = 0;
    if (NvAPI_Stereo_IsActivated(_stereo_handle, &activated) != nvapi_ok || !activated)
        return true;
    out->activated = true;
    // An entry that fails leaves its value at 0 rather than something half-written.
    f32 value = 0;
    if (NvAPI_Stereo_GetEyeSeparation(_stereo_handle, &value) == nvapi_ok)
        out->eye_separation = value;
    value = 0;
    if (NvAPI_Stereo_GetSeparation(_stereo_handle, &value) == nvapi_ok)
        out->separation_percent = value;
    value = 0;
    if (NvAPI_Stereo_GetConvergence(_stereo_handle, &value) == nvapi_ok)
        out->convergence = value;
    return true;
}

D3DRenderDevice::~D3DRenderDevice()
{
    if (_device)
        log_message(log_category, "device closed after %u presents", _present_count);
    if (_stereo_handle)
        NvAPI_Stereo_DestroyHandle(_stereo_handle);
    for (u32 id = 0; id < _swap_chains.size(); ++id)
        destroy_swap_chain(id); // free entries are skipped: nothing is released twice
    for (D3DRenderContext *context : _range_pool)
        destroy_range_context(context);
    _range_pool.clear();
    delete_with_allocator(_allocator, _immediate_context);
    _immediate_context = nullptr;
    if (_immediate) {
        _immediate->ClearState();
        _immediate->Flush();
    }
    delete_with_allocator(_allocator, _manager);
    _manager = nullptr;
    delete_with_allocator(_allocator, _states);
    _states = nullptr;
    _debug.reset();
    _immediate.reset();
    _device.reset();
    _output.reset();
    _adapter.reset();
    _factory.reset();
}

void D3DRenderDevice::log_result(const char *call, HRESULT result) const
{
    if (FAILED(result))
        log_message(log_category, "%s failed (0x%08x)", call, u32(result));
}

bool D3DRenderDevice::initialize(const DeviceSettings &settings)
{
    if (_device) {
        log_message(log_category, "the device is already initialized");
        return false;
    }
    if (!_factory)
        return false;
    _vsync = settings.vsync;

    // Adapters whose description cannot be read are not counted.
    u32 counted = 0;
    for (UINT i = 0;; ++i) {
        OwnedComPtr<IDXGIAdapter> adapter;
        const HRESULT result = _factory->EnumAdapters(i, adapter.put());
        if (result == DXGI_ERROR_NOT_FOUND)
            break;
        DXGI_ADAPTER_DESC desc{};
        if (FAILED(result) || !adapter || FAILED(adapter->GetDesc(&desc)))
            continue;
        if (settings.adapter_index >= 0 && counted++ == u32(settings.adapter_index)) {
            _adapter = std::move(adapter);
            _adapter_desc = desc;
        }
    }
    if (!_adapter) {
        log_message(log_category, "adapter %d not found (%u usable adapters)", settings.adapter_index, counted);
        return false;
    }
    for (UINT j = 0;; ++j) {
        OwnedComPtr<IDXGIOutput> output;
        const HRESULT result = _adapter->EnumOutputs(j, output.put());
        if (result == DXGI_ERROR_NOT_FOUND || FAILED(result))
            break;
        if (settings.fullscreen_output >= 0 && j == UINT(settings.fullscreen_output))
            _output = std::move(output);
    }

    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1, D3D_FEATURE_LEVEL_10_0,
                                        D3D_FEATURE_LEVEL_9_3};
    const UINT flags = settings.d3d_debug ? D3D11_CREATE_DEVICE_DEBUG : 0;
    const HRESULT created = D3D11CreateDevice(_adapter.get(), D3D_DRIVER_TYPE_UNKNOWN, nullptr, flags, levels, 4,
                                              sdk_version, _device.put(), &_feature_level, _immediate.put());
    if (FAILED(created) || !_device || !_immediate) {
        log_message(log_category, "the Direct3D device cannot be created (0x%08x)", u32(created));
        _immediate.reset();
        _device.reset();
        return false;
    }
    if (_feature_level < required_feature_level)
        fatal_error("Requires a graphics card that supports at least feature level: %s",
                    feature_level_name(required_feature_level));

    _sample_count = settings.reserved_one ? settings.reserved_one : 1;
    _sample_quality = settings.reserved_zero;
    if (_stereo_available) {
        u8 enabled = 0;
        StereoHandle handle = 0;
        if (NvAPI_Stereo_IsEnabled(&enabled) == 0 && enabled &&
            NvAPI_Stereo_CreateHandleFromIUnknown(_device.get(), &handle) == 0)
            _stereo_handle = handle;
    }
    if (settings.d3d_debug)
        log_result("QueryInterface(ID3D11Debug)",
                   _device->QueryInterface(IID_ID3D11Debug, reinterpret_cast<void **>(_debug.put())));

    _states = make_new<D3DRenderStateBuilder>(_allocator, _allocator, _device.get());
    D3DResourceManagerParams params;
    params.device = _device.get();
    params.immediate = _immediate.get();
    params.feature_level = _feature_level;
    params.front_end = this;
    params.swap_chain = [](void *user, u32 index) { return static_cast<D3DRenderDevice *>(user)->swap_chain_at(index); };
    params.swap_chain_user = this;
    params.states = _states;
    _manager = _states ? make_new<D3DResourceManager>(_allocator, _allocator, params) : nullptr;
    _immediate_context =
        _manager ? make_new<D3DRenderContext>(_allocator, _allocator, _device.get(), *_manager) : nullptr;
    if (!_immediate_context) {
        log_message(log_category, "out of memory while starting the device");
        return false;
    }
    _states->set_caches(_manager->caches());
    _immediate_context->set_context(_immediate.get());
    return true;
}

void D3DRenderDevice::execute_resource_updates(u32 count, RenderResourceContext *const *contexts)
{
    if (!_manager)
        return;
    for (u32 i = 0; i < count; ++i)
        _manager->process(contexts[i]->stream());
}

// ---- Swap chains --------------------------------------------------------------------------

u32 D3DRenderDevice::create_swap_chain(Window &window, u32, bool show)
{
    // The window layer is asked for the record once, here, while the caller waits for the
    // id; later requests find the chain by its Window.
    const u32 id = create_swap_chain(window.system().native_window(window.handle()), show);
    if (id < _swap_chains.size())
        _swap_chains[id].owner = &window;
    return id;
}

HWND D3DRenderDevice::window_record(const Window &window) const
{
    for (const SwapChainEntry &entry : _swap_chains)
        if (entry.in_use && entry.owner == &window)
            return entry.window;
    return nullptr;
}

void D3DRenderDevice::resize_swap_chain(Window &window, u32 width, u32 height)
{
    if (HWND record = window_record(window))
        resize_swap_chain(record, width, height);
}

void D3DRenderDevice::set_fullscreen(Window &window, bool fullscreen, u32 output_index)
{
    if (HWND record = window_record(window))
        set_fullscreen(record, fullscreen, output_index);
}

void D3DRenderDevice::resize_target(Window &window, u32 width, u32 height)
{
    if (HWND record = window_record(window))
        resize_target(record, width, height);
}

u32 D3DRenderDevice::create_swap_chain(HWND window, bool fullscreen)
{
    if (!_device || !_manager || !window) {
        log_message(log_category, "create_swap_chain: no device or no window");
        return no_swap_chain;
    }
    u32 id = 0;
    while (id < _swap_chains.size() && _swap_chains[id].in_use)
        ++id;
    if (id == _swap_chains.size() && !_swap_chains.push_back(SwapChainEntry{}))
        return no_swap_chain;

    DXGI_SWAP_CHAIN_DESC desc{};
    desc.BufferDesc.Width = 0; // from the window
    desc.BufferDesc.Height = 0;
    desc.BufferDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    desc.SampleDesc.Count = _sample_count;
    desc.SampleDesc.Quality = _sample_quality;
    desc.BufferUsage = DXGI_USAGE_SHADER_INPUT | DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = 2;
    desc.OutputWindow = window;
    desc.Windowed = TRUE;
    desc.SwapEffect = DXGI_SWAP_EFFECT_DISCARD;
    desc.Flags = DXGI_SWAP_CHAIN_FLAG_ALLOW_MODE_SWITCH;

    IDXGISwapChain *chain = nullptr;
    const HRESULT created = _factory->CreateSwapChain(_device.get(), &desc, &chain);
    if (FAILED(created) || !chain) {
        log_message(log_category, "CreateSwapChain failed (0x%08x)", u32(created));
        return no_swap_chain;
    }
    BackBufferWrapper *back_buffer = make_new<BackBufferWrapper>(_allocator, _allocator, id);
    if (!back_buffer) {
        chain->Release();
        return no_swap_chain;
    }
    back_buffer->handle = handle_pool().alloc_handle(render_handle_kind::render_target);
    log_result("MakeWindowAssociation", _factory->MakeWindowAssociation(window, 0));
    if (fullscreen)
        log_result("SetFullscreenState", chain->SetFullscreenState(TRUE, _output.get()));
    _swap_chains[id] = {window, nullptr, chain, back_buffer, true};

    if (!_manager->create_render_target(*back_buffer))
        log_message(log_category, "the back buffer of swap chain %u cannot be made", id);
    add_window_targets(id, back_buffer);
    present(id);
    return id;
}

void D3DRenderDevice::destroy_swap_chain(u32 id)
{
    if (id >= _swap_chains.size() || !_swap_chains[id].in_use)
        return;
    SwapChainEntry &entry = _swap_chains[id];
    // Nothing of the window may stay bound while its targets go.
    if (_immediate_context)
        _immediate_context->reset();
    if (_immediate) {
        _immediate->OMSetRenderTargets(0, nullptr, nullptr);
        _immediate->ClearState();
    }
    log_result("SetFullscreenState", entry.swap_chain->SetFullscreenState(FALSE, nullptr));
    remove_window_targets(id);
    if (_manager && entry.back_buffer->handle != invalid_render_handle)
        _manager->release(RenderResourceType::BackBuffer, entry.back_buffer->handle);
    handle_pool().free_handle(entry.back_buffer->handle);
    delete_with_allocator(_allocator, entry.back_buffer);
    entry.swap_chain->Release();
    entry = {};
}

IDXGISwapChain *D3DRenderDevice::swap_chain(HWND window) const
{
    for (const SwapChainEntry &entry : _swap_chains)
        if (entry.in_use && entry.window == window)
            return entry.swap_chain;
    return nullptr;
}

IDXGISwapChain *D3DRenderDevice::swap_chain_at(u32 id) const
{
    return id < _swap_chains.size() && _swap_chains[id].in_use ? _swap_chains[id].swap_chain : nullptr;
}

BackBufferWrapper *D3DRenderDevice::back_buffer(u32 id) const
{
    return id < _swap_chains.size() && _swap_chains[id].in_use ? _swap_chains[id].back_buffer : nullptr;
}

void D3DRenderDevice::resize_swap_chain(HWND window, u32 width, u32 height)
{
    for (u32 id = 0; id < _swap_chains.size(); ++id) {
        SwapChainEntry &entry = _swap_chains[id];
        if (!entry.in_use || entry.window != window)
            continue;
        DXGI_SWAP_CHAIN_DESC desc{};
        log_result("GetDesc", entry.swap_chain->GetDesc(&desc));
        // The bound-state cache must not outlive the ClearState: the next frame's commands
        // naming the same back buffer have to bind it again.
        _immediate_context->reset();
        _immediate->OMSetRenderTargets(0, nullptr, nullptr);
        _immediate->ClearState();
        _immediate->Flush();
        Array<RenderTarget *> targets(_allocator);
        render_target_list(targets, id);
        _manager->release_all(targets);
        log_result("ResizeBuffers", entry.swap_chain->ResizeBuffers(desc.BufferCount, width, height,
                                                                    desc.BufferDesc.Format,
                                                                    DXGI_SWAP_CHAIN_FLAG_ALLOW_MODE_SWITCH));
        entry.back_buffer->description.width = width;
        entry.back_buffer->description.height = height;
        _manager->create_all(targets);
        return;
    }
}

void D3DRenderDevice::set_fullscreen(HWND window, bool fullscreen, u32 output_index)
{
    for (SwapChainEntry &entry : _swap_chains) {
        if (!entry.in_use || entry.window != window)
            continue;
        if (!fullscreen) {
            BOOL state = FALSE;
            log_result("GetFullscreenState", entry.swap_chain->GetFullscreenState(&state, nullptr));
            if (state)
                log_result("SetFullscreenState", entry.swap_chain->SetFullscreenState(FALSE, nullptr));
            continue;
        }
        if (IDXGIOutput *chosen = output(output_index)) {
            _output.reset();
            *_output.put() = chosen; // the reference output() returned
        }
        BOOL state = FALSE;
        OwnedComPtr<IDXGIOutput> current;
        log_result("GetFullscreenState", entry.swap_chain->GetFullscreenState(&state, current.put()));
        if (!state || current.get() != _output.get())
            log_result("SetFullscreenState", entry.swap_chain->SetFullscreenState(TRUE, _output.get()));
    }
}

void D3DRenderDevice::resize_target(HWND window, u32 width, u32 height)
{
    for (SwapChainEntry &entry : _swap_chains) {
        if (!entry.in_use || entry.window != window)
            continue;
        DXGI_MODE_DESC mode{};
        mode.Width = width;
        mode.Height = height;
        log_result("ResizeTarget", entry.swap_chain->ResizeTarget(&mode));
    }
}

void D3DRenderDevice::present(u32 id)
{
    IDXGISwapChain *chain = swap_chain_at(id);
    if (!chain)
        return;
    log_result("Present", chain->Present(_vsync ? 1 : 0, 0));
    ++_present_count;
    _immediate_context->begin_frame();
    _manager->clear_flagged_targets(_immediate.get(), id);
}

IDXGIOutput *D3DRenderDevice::output(u32 index) const
{
    if (!_adapter)
        return nullptr;
    IDXGIOutput *found = nullptr;
    if (FAILED(_adapter->EnumOutputs(index, &found)))
        return nullptr;
    return found;
}

void D3DRenderDevice::enumerate_display_modes(Array<DisplayOutput> &out_outputs)
{
    OwnedComPtr<IDXGIFactory> factory;
    if (FAILED(CreateDXGIFactory(IID_IDXGIFactory, reinterpret_cast<void **>(factory.put()))))
        return;
    Array<DXGI_MODE_DESC> modes(_allocator);
    for (UINT i = 0;; ++i) {
        OwnedComPtr<IDXGIAdapter> adapter;
        const HRESULT enumerated = factory->EnumAdapters(i, adapter.put());
        if (enumerated == DXGI_ERROR_NOT_FOUND)
            break;
        if (FAILED(enumerated))
            continue;
        for (UINT j = 0;; ++j) {
            OwnedComPtr<IDXGIOutput> output;
            if (FAILED(adapter->EnumOutputs(j, output.put())))
                break;
            DXGI_OUTPUT_DESC desc{};
            if (FAILED(output->GetDesc(&desc)))
                continue;
            // The device name need not be terminated within its 32 units.
            char16_t name[33] = {};
            memcpy(name, desc.DeviceName, sizeof desc.DeviceName);
            UINT count = 0;
            if (FAILED(output->GetDisplayModeList(DXGI_FORMAT_R8G8B8A8_UNORM, DXGI_ENUM_MODES_INTERLACED, &count,
                                                  nullptr)))
                count = 0;
            modes.resize(count);
            if (modes.size() != count)
                return;
            if (count && FAILED(output->GetDisplayModeList(DXGI_FORMAT_R8G8B8A8_UNORM, DXGI_ENUM_MODES_INTERLACED,
                                                           &count, modes.data())))
                count = 0;
            if (!out_outputs.push_back(DisplayOutput(out_outputs.allocator())))
                return;
            DisplayOutput &record = out_outputs.back();
            record.name = DynamicString::from_wide(name, out_outputs.allocator());
            // Refresh rates of one size come in a run: the run counts once.
            for (u32 m = 0; m < count && m < modes.size(); ++m) {
                const DXGI_MODE_DESC &mode = modes[m];
                if (!record.modes.empty() && record.modes.back().width == mode.Width &&
                    record.modes.back().height == mode.Height)
                    continue;
                record.modes.push_back(
                    {mode.Width, mode.Height, mode.RefreshRate.Numerator, mode.RefreshRate.Denominator});
            }
        }
    }
}

void D3DRenderDevice::write_device_settings(ConfigValue &settings) const
{
    if (ConfigValue *level = settings.find("feature_level"))
        if (level->kind() == ConfigKind::String && level->to_string()[0] == '\0')
            level->set_string(feature_level_name(_feature_level));
    if (ConfigValue *stereo = settings.find("nv_stereo"))
        stereo->set_bool(_stereo_handle != 0);
}

// ---- Dispatch ------------------------------------------------------------------------------

bool D3DRenderDevice::use_deferred_contexts() const
{
    if (!_params.render_caps || !_params.pool)
        return false;
    const ConfigValue *caps = _params.render_caps(_params.render_caps_user);
    const ConfigValue *value = caps ? caps->find("use_deferred_contexts") : nullptr;
    return value && value->kind() == ConfigKind::Bool && value->to_bool();
}

void D3DRenderDevice::dispatch(u32 count, RenderContext *const *contexts)
{
    merge_and_sort_commands(_sorted, count, contexts);
    execute_sorted(_sorted.data(), _sorted.size());
}

void D3DRenderDevice::execute_sorted(const RenderSortEntry *entries, u32 count)
{
    if (!_immediate_context || count == 0)
        return;
    if (use_deferred_contexts()) {
        if (dispatch_deferred(entries, count)) {
            _deferred_dispatches.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        _serial_fallbacks.fetch_add(1, std::memory_order_relaxed);
    }
    _immediate_context->execute(entries, count);
    _immediate_context->merge_input_layouts();
}

D3DRenderContext *D3DRenderDevice::take_range_context()
{
    if (!_range_pool.empty()) {
        D3DRenderContext *context = _range_pool.back();
        _range_pool.pop_back();
        return context;
    }
    ID3D11DeviceContext *deferred = nullptr;
    const HRESULT created = _device->CreateDeferredContext(0, &deferred);
    if (FAILED(created) || !deferred) {
        log_message(log_category, "CreateDeferredContext failed (0x%08x)", u32(created));
        return nullptr;
    }
    D3DRenderContext *context = make_new<D3DRenderContext>(_allocator, _allocator, _device.get(), *_manager);
    if (!context) {
        deferred->Release();
        return nullptr;
    }
    context->set_context(deferred);
    return context;
}

void D3DRenderDevice::destroy_range_context(D3DRenderContext *context)
{
    if (!context)
        return;
    ID3D11DeviceContext *deferred = context->context();
    context->release_command_list();
    delete_with_allocator(_allocator, context);
    if (deferred)
        deferred->Release();
}

bool D3DRenderDevice::dispatch_deferred(const RenderSortEntry *entries, u32 n)
{
    const DispatchSplit split = split_dispatch(n);

    Job job("parallel_dispatch_job");
    JobData data(job);
    job.set_count(n);
    job.set_function(&dispatch_job);
    JobSplit job_split(job);

    // Each range starts from the targets, viewports, scissors and copy counter that every
    // entry before it left, applied without running any of those entries again.
    Array<ContextTargetState> starts(_allocator);
    Array<D3DRenderContext *> ranges(_allocator);
    starts.resize(split.range_count);
    ranges.reserve(split.range_count);
    bool ready = starts.size() == split.range_count && job_split.batch_count() == split.range_count;
    ContextTargetState running;
    for (u32 i = 0; ready && i < n; ++i) {
        if (i % split.range_size == 0) {
            running.carried_counter = running.copy_counter > 0;
            starts[i / split.range_size] = running;
        }
        track_target_state(running, entries[i]);
    }
    // Buffer updates (commands 0 and 1) rewrite the buffer's record while they are made (and
    // may make its buffer again), and draws read the record as they are recorded. When no
    // draw names a buffer before its last update, every update is made ahead on this thread,
    // in order, and the ranges skip them: each draw then finds what the serial order gives
    // it. Otherwise two cases only the serial order gets right, so such a frame is executed
    // serially:
    // - a copy counter still running down when a range starts, and drawn under there: how
    //   many copies the ranges before it made is not known until they are recorded;
    // - a buffer updated in one range and updated or drawn in another: the ranges would
    //   race on its record and draw with contents from the wrong side of the update.
    const bool updates_ahead = ready && running.buffer_updates && buffer_updates_precede_draws(entries, n);
    if (ready && (running.carried_counter_drawn ||
                  (running.buffer_updates && !updates_ahead &&
                   buffer_updates_cross_ranges(entries, n, split.range_size)))) {
        ready = false;
    }
    while (ready && ranges.size() < split.range_count) {
        D3DRenderContext *context = take_range_context();
        if (!context || !ranges.push_back(context)) {
            destroy_range_context(context);
            ready = false;
        }
    }
    if (!ready) {
        // No deferred context to be had, or ranges that cannot be recorded apart: the frame
        // is executed serially instead.
        for (D3DRenderContext *context : ranges)
            if (!_range_pool.push_back(context))
                destroy_range_context(context);
        return false;
    }

    if (updates_ahead)
        _immediate_context->execute_buffer_updates(entries, n);
    for (D3DRenderContext *context : ranges)
        context->set_buffer_updates_done(updates_ahead);
    data.set_stream(0, {const_cast<RenderSortEntry *>(entries), u32(sizeof(RenderSortEntry))});
    data.set_stream(1, {ranges.data(), u32(sizeof(D3DRenderContext *))}, stream_kind_per_batch);
    data.set_stream(2, {starts.data(), u32(sizeof(ContextTargetState))}, stream_kind_per_batch);
    JobSystem jobs(*_params.pool);
    const JobId id = jobs.run_job(job, no_job, &job_split);
    jobs.wait_for_job(id);
    jobs.release_job(id);

    for (D3DRenderContext *context : ranges) {
        if (ID3D11CommandList *list = context->command_list())
            _immediate->ExecuteCommandList(list, FALSE);
        context->release_command_list();
        context->merge_input_layouts();
        if (!_range_pool.push_back(context))
            destroy_range_context(context);
    }
    // ExecuteCommandList(FALSE) leaves the immediate context in its default state.
    _immediate_context->reset();
    return true;
}

RenderDevice *create_d3d_render_device(Allocator &allocator, ThreadPool *pool, IRenderOutput *&out_output)
{
    D3DRenderDeviceParams params;
    params.pool = pool;
    // The render service makes the capability tree before the first frame is dispatched.
    params.render_caps = [](void *) -> const ConfigValue * { return &render_caps(); };
    D3DRenderDevice *device = make_new<D3DRenderDevice>(allocator, allocator, params);
    out_output = device;
    return device;
}

} // namespace tallow::render::d3d11
