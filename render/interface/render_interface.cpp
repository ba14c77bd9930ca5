#include "render/interface/render_interface.h"

#include "render/particles/render_particle_world.h"

#include "foundation/config/config_value.h"
#include "foundation/log.h"
#include "foundation/strings/dynamic_string.h"
#include "foundation/strings/name_id.h"
#include "foundation/threads/thread_pool.h"
#include "render/device/render_device.h"
#include "render/world/render_state_queue.h"
#include "render/viewports/viewport.h"
#include "render/world/render_world.h"
#include "render/world/world_render_link.h"

#include <cstdlib>
#include <cstring>

namespace tallow {

namespace {

/// The render thread's receive buffer: ample for any message.
constexpr u32 receive_buffer_bytes = 2056;
static_assert(max_render_message_bytes <= receive_buffer_bytes);

const char *table_name(bool settings) { return settings ? "RenderSettings" : "RenderCaps"; }

template <typename T> bool read_message(const u8 *bytes, u32 size_bytes, T &out)
{
    if (size_bytes < sizeof(T)) {
        RenderMessageHeader header;
        memcpy(&header, bytes, sizeof header);
        log_message("render", "render message %u of %u bytes is shorter than its %u bytes; dropped", header.type,
                    size_bytes, u32(sizeof(T)));
        return false;
    }
    memcpy(&out, bytes, sizeof(T));
    return true;
}

} // namespace

void WindowEventRouter::on_resize(Window &window, i32 width, i32 height)
{
    if (_render && width > 0 && height > 0)
        _render->resize_swap_chain(window, u32(width), u32(height));
}

RenderInterface::RenderInterface(const RenderInterfaceParams &params)
    : _allocator("RenderInterface", *params.allocator), _object_allocator("RenderObjectManager", _allocator),
      _registry(params.thread_registry), _pool(params.thread_pool), _device(params.device), _output(params.output),
      _render_settings(params.render_settings), _render_caps(params.render_caps), _window_calls(params.window_calls),
      _main_thread(current_thread_id()), _queue(_allocator, params.queue_bytes), _router(this), _windows(_allocator),
      _display_outputs(_allocator), _worlds(_allocator), _fences(_allocator), _spare_fences(_allocator), _global_resources(_allocator),
      _generators(_allocator), _generator_overrides(_allocator)
{
    if (_output)
        _output->enumerate_display_modes(_display_outputs);
    if (_device) {
        // The back buffer's key is filed under "back_buffer"; the device owns it.
        _global_resources.add(NameId32("back_buffer").value(), const_cast<RenderTarget *>(_device->back_buffer_key()),
                              false, true);
    }
    _receive = static_cast<u8 *>(_allocator.allocate(receive_buffer_bytes, 16));
    if (!_receive || !_device || !_registry || _queue.capacity() == 0) {
        log_message("render", "the render interface cannot start: %s", !_device ? "no render device" : "no memory");
        return;
    }
    _thread = _registry->create_thread("renderer", &render_thread_entry, this);
    if (!_thread.is_valid())
        log_message("render", "the \"renderer\" thread cannot be started");
}

RenderInterface::~RenderInterface()
{
    if (_thread.is_valid()) {
        // Worlds still added go the ordinary way, so their objects are freed on the
        // render thread.
        while (world_count() > 0) {
            const void *world;
            {
                ScopedLock guard(_lock);
                world = _worlds.back().world;
            }
            remove_world(world);
        }
        wait_until_idle();
        for (Window *window : _windows)
            if (_window_calls.set_event_listener)
                _window_calls.set_event_listener(*window, nullptr);
        _router.detach();
        QuitMessage quit = {};
        post_message(RenderMessageType::Quit, quit);
        wait_until_idle();
        _registry->join(_thread);
    } else {
        // No render thread ever ran: the worlds' objects are freed here.
        for (WorldEntry &entry : _worlds) {
            delete_with_allocator(_allocator, entry.render_world);
            delete_with_allocator(_allocator, entry.link);
        }
        _worlds.clear();
    }
    _allocator.deallocate(_receive);
    // The render configuration released the generators' device resources when it unloaded.
    _generators.clear(nullptr);
    if (_generator_frames > 0)
        log_message("render", "resource generators ran in %u frames", _generator_frames);
    delete_with_allocator(_allocator.parent(), _device);
    for (Event *fence : _fences)
        delete_with_allocator(_allocator, fence);
    for (Event *fence : _spare_fences)
        delete_with_allocator(_allocator, fence);
    _global_resources.release();
}

// --- Posting ---------------------------------------------------------------------------------

void RenderInterface::post(const void *message, u32 size_bytes)
{
    TALLOW_ASSERT(size_bytes <= receive_buffer_bytes && size_bytes <= _queue.max_record_bytes(),
                  "render message larger than the queue or the receive buffer");
    if (!_thread.is_valid())
        return;
    // push_wait retries until the record is in: a message never gets lost because another
    // sender refilled the ring between the drain and the second try.
    if (_queue.push_wait(message, size_bytes) != RingResult::Ok)
        log_message("render", "render message of %u bytes does not fit the queue; dropped", size_bytes);
}

void RenderInterface::wait_until_idle()
{
    if (_thread.is_valid())
        _queue.drained_event().wait();
}

// --- Render thread ---------------------------------------------------------------------------

void RenderInterface::render_thread_entry(void *interface)
{
    static_cast<RenderInterface *>(interface)->render_thread_loop();
}

void RenderInterface::render_thread_loop()
{
    _render_thread_id = current_thread_id();
    // Once this thread is a member, its waits must run the jobs meant for it
    // (add_job_to_all reaches every member), or a broadcast job never completes.
    if (_pool && _pool->add_worker(_render_thread_id))
        _pool->set_wait_without_helping(false);
    while (!_quit.load(std::memory_order_relaxed)) {
        u32 size = 0;
        RingResult result = _queue.try_pop(_receive, receive_buffer_bytes, &size);
        if (result == RingResult::Ok) {
            dispatch_message(_receive, size);
        } else if (result == RingResult::Empty) {
            if (_pool)
                _pool->wait_event(_queue.data_event());
            else
                _queue.data_event().wait();
        } else {
            // Senders never post a message larger than the receive buffer; should one be
            // there, nothing after it can be read in order.
            log_message("render", "render message of %u bytes exceeds the receive buffer; the queue is dropped", size);
            _queue.reset();
        }
    }
    _queue.reset();
}

void RenderInterface::dispatch_message(const u8 *message, u32 size_bytes)
{
    RenderMessageHeader header;
    if (size_bytes < sizeof header) {
        log_message("render", "render message of %u bytes has no header; dropped", size_bytes);
        return;
    }
    memcpy(&header, message, sizeof header);
    switch (RenderMessageType(header.type)) {
    case RenderMessageType::Quit:
        _quit.store(true, std::memory_order_relaxed);
        break;
    case RenderMessageType::InitializeDevice: {
        InitializeDeviceMessage m;
        if (read_message(message, size_bytes, m))
            on_initialize_device(m);
        break;
    }
    case RenderMessageType::CreateSwapChain: {
        CreateSwapChainMessage m;
        if (read_message(message, size_bytes, m))
            on_create_swap_chain(m);
        break;
    }
    case RenderMessageType::ResizeSwapChain: {
        ResizeSwapChainMessage m;
        if (read_message(message, size_bytes, m) && _output)
            _output->resize_swap_chain(*m.window, m.width, m.height);
        break;
    }
    case RenderMessageType::AddWorld: {
        AddWorldMessage m;
        if (read_message(message, size_bytes, m))
            on_add_world(m);
        break;
    }
    case RenderMessageType::RemoveWorld: {
        RemoveWorldMessage m;
        if (read_message(message, size_bytes, m))
            on_remove_world(m);
        break;
    }
    case RenderMessageType::RenderWorld: {
        RenderWorldMessage m;
        if (read_message(message, size_bytes, m))
            on_render_world(m);
        break;
    }
    case RenderMessageType::UpdateWorld: {
        UpdateWorldMessage m;
        if (read_message(message, size_bytes, m))
            on_update_world(m);
        break;
    }
    case RenderMessageType::Present: {
        PresentMessage m;
        if (read_message(message, size_bytes, m))
            _device->present(m.swap_chain);
        break;
    }
    case RenderMessageType::ExecuteResourceContexts: {
        ExecuteResourceContextsMessage m;
        if (read_message(message, size_bytes, m))
            on_release_resource_context(m);
        break;
    }
    case RenderMessageType::Fence: {
        FenceMessage m;
        if (read_message(message, size_bytes, m))
            m.event->set();
        break;
    }
    case RenderMessageType::SetRenderVariable: {
        SetRenderVariableMessage m;
        if (read_message(message, size_bytes, m)) {
            set_render_variable(m);
            free_render_variable(m);
        }
        break;
    }
    case RenderMessageType::SetFullscreen: {
        SetFullscreenMessage m;
        if (read_message(message, size_bytes, m) && _output)
            _output->set_fullscreen(*m.window, m.fullscreen != 0, m.output_index);
        break;
    }
    case RenderMessageType::ResizeTarget: {
        ResizeTargetMessage m;
        if (read_message(message, size_bytes, m) && _output)
            _output->resize_target(*m.window, m.width, m.height);
        break;
    }
    default:
        break; // types above the last are ignored
    }
}

void RenderInterface::on_initialize_device(const InitializeDeviceMessage &message)
{
    bool started = _device->initialize(*message.settings);
    if (message.result)
        *message.result = started ? 1 : 0;
}

void RenderInterface::on_create_swap_chain(const CreateSwapChainMessage &message)
{
    u32 index = 0xFFFFFFFF;
    if (_output)
        index = _output->create_swap_chain(*message.window, 0, message.show != 0);
    else
        log_message("render", "the render device makes no swap chains");
    if (message.result)
        *message.result = index;
}

void RenderInterface::on_add_world(const AddWorldMessage &message)
{
    RenderResourceContext *context = _device->alloc_resource_context();
    message.render_world->create_resources(context);
    if (context) {
        _device->update_resources(1, &context);
        _device->release_resource_context(context);
    }
}

void RenderInterface::on_remove_world(const RemoveWorldMessage &message)
{
    RenderResourceContext *context = _device->alloc_resource_context();
    message.render_world->destroy_resources(context);
    if (context) {
        _device->update_resources(1, &context);
        _device->release_resource_context(context);
    }
    // The world frees its objects and every state buffer, the link's current one too.
    delete_with_allocator(_allocator, message.render_world);
    delete_with_allocator(_allocator, message.link);
}

void RenderInterface::on_render_world(const RenderWorldMessage &message)
{
    _device->set_current_swap_chain(message.swap_chain);
    RenderWorldParams params;
    params.device = _device;
    params.camera = message.camera;
    params.viewport = message.viewport;
    params.shading_environment = message.shading_environment;
    params.global_resources = &_global_resources;
    params.layer_configs = _layers;
    // A world drawn without a viewport of its own fills the "default" template's rectangle.
    const ViewportTemplate *fallback = _viewports ? _viewports->find(NameId32("default").value()) : nullptr;
    params.default_viewport = fallback ? &fallback->rect : nullptr;
    params.aspect = message.aspect_ratio;
    params.generators = &_generators;
    params.generator_overrides = &_generator_overrides;
    params.frame_index = _frame_index++;
    if (_texture_channels) {
        params.texture_channels = _texture_channels->data();
        params.texture_channel_count = _texture_channels->size();
    }
    if (message.render_world->render(params).generator_contexts > 0)
        ++_generator_frames;
}

void RenderInterface::set_render_configuration(const LayerConfigSet *layers, const ViewportTemplates *viewports,
                                               ShaderManager *shaders, const Array<u32> *texture_channels)
{
    wait_until_idle();
    _texture_channels = texture_channels;
    _layers = layers;
    _viewports = viewports;
    _shaders = shaders;
    ScopedLock guard(_lock);
    for (WorldEntry &entry : _worlds)
        entry.render_world->set_shader_manager(shaders);
}

const ViewportTemplate *RenderInterface::viewport_template(u32 name) const
{
    return _viewports ? _viewports->find(name) : nullptr;
}

void RenderInterface::on_update_world(const UpdateWorldMessage &message)
{
    RenderResourceContext *context = _device->alloc_resource_context();
    message.render_world->update_state(*message.buffer, context);
    message.render_world->set_time(message.time, message.delta_time);
    if (RenderParticleWorld *particles = message.render_world->particle_world())
        particles->update_from_world(message.delta_time, context);
    if (context) {
        _device->update_resources(1, &context);
        _device->release_resource_context(context);
    }
    message.render_world->release_state_buffer(message.buffer);
}

void RenderInterface::on_release_resource_context(const ExecuteResourceContextsMessage &message)
{
    Array<RenderResourceContext *> &contexts = *message.contexts;
    if (!contexts.empty())
        _device->update_resources(contexts.size(), contexts.data());
    for (RenderResourceContext *context : contexts)
        context->set_event(false);
    delete_with_allocator(_allocator, message.contexts);
}

// --- Render variables ------------------------------------------------------------------------

void RenderInterface::set_render_variable(const SetRenderVariableMessage &message)
{
    ConfigValue *table = message.settings ? _render_settings : _render_caps;
    const char *name = message.name ? message.name->c_str() : "";
    ConfigValue *variable = table ? table->find(name) : nullptr;
    if (!variable) {
        log_message("render", "Could not find variable: %s in %s", name, table_name(message.settings != 0));
        return;
    }
    if (message.typed) {
        const RenderVariableValue &value = *message.typed;
        switch (value.type) {
        case 1: variable->set_bool(value.bool_value); break;
        case 2: variable->set_integer(value.integer_value); break;
        case 3: variable->set_float(value.float_value); break;
        case 4: variable->set_string(message.owned_text ? message.owned_text->c_str() : ""); break;
        default: break;
        }
        return;
    }
    if (!message.text)
        return;
    const char *text = message.text->c_str();
    switch (variable->kind()) {
    case ConfigKind::Bool: variable->set_bool(strcmp(text, "true") == 0); break;
    case ConfigKind::Float: variable->set_float(strtof(text, nullptr)); break;
    // An integer variable takes the number as a float and stays one from then on.
    case ConfigKind::Integer: variable->set_float(f32(strtol(text, nullptr, 10))); break;
    case ConfigKind::String: variable->set_string(text); break;
    default: break;
    }
}

void RenderInterface::free_render_variable(const SetRenderVariableMessage &message)
{
    delete_with_allocator(_allocator, message.name);
    delete_with_allocator(_allocator, message.text);
    delete_with_allocator(_allocator, message.typed);
    delete_with_allocator(_allocator, message.owned_text);
}

void RenderInterface::set_render_setting(bool settings, const char *name, const char *value_text)
{
    SetRenderVariableMessage message = {};
    message.name = make_new<DynamicString>(_allocator, name, _allocator);
    message.text = make_new<DynamicString>(_allocator, value_text, _allocator);
    message.settings = settings ? 1 : 0;
    if (!message.name || !message.text) {
        log_message("render", "no memory to set render variable %s", name ? name : "");
        free_render_variable(message);
        return;
    }
    post_message(RenderMessageType::SetRenderVariable, message);
}

void RenderInterface::set_render_caps(bool settings, const char *name, const RenderVariableValue &value)
{
    SetRenderVariableMessage message = {};
    message.name = make_new<DynamicString>(_allocator, name, _allocator);
    message.typed = make_new<RenderVariableValue>(_allocator, value);
    message.settings = settings ? 1 : 0;
    bool ok = message.name && message.typed;
    if (ok && value.type == 4) {
        // The text is the caller's: the message carries its own copy.
        message.owned_text = make_new<DynamicString>(_allocator, value.text, _allocator);
        ok = message.owned_text != nullptr;
    }
    if (message.typed)
        message.typed->text = nullptr;
    if (!ok) {
        log_message("render", "no memory to set render variable %s", name ? name : "");
        free_render_variable(message);
        return;
    }
    post_message(RenderMessageType::SetRenderVariable, message);
}

bool RenderInterface::render_config_value(bool settings, const char *name, ConfigValue &out_value)
{
    wait_until_idle();
    ConfigValue *table = settings ? _render_settings : _render_caps;
    const ConfigValue *variable = table ? table->find(name) : nullptr;
    if (!variable) {
        out_value.set_nil();
        return false;
    }
    out_value.copy(*variable);
    return true;
}

// --- Device and windows ----------------------------------------------------------------------

bool RenderInterface::initialize_device(const DeviceSettings &settings)
{
    u8 started = 0;
    InitializeDeviceMessage message = {};
    message.settings = &settings;
    message.result = &started;
    post_message(RenderMessageType::InitializeDevice, message);
    wait_fence(add_fence());
    return started != 0;
}

u32 RenderInterface::create_window_swap_chain(Window &window, bool show)
{
    if (show && _window_calls.show)
        _window_calls.show(window);
    _windows.push_back(&window);
    if (_window_calls.set_event_listener)
        _window_calls.set_event_listener(window, &_router);
    u32 index = 0xFFFFFFFF;
    CreateSwapChainMessage message = {};
    message.window = &window;
    message.result = &index;
    message.show = show ? 1 : 0;
    post_message(RenderMessageType::CreateSwapChain, message);
    wait_fence(add_fence());
    return index;
}

void RenderInterface::present_frame(u32 swap_chain)
{
    PresentMessage message = {};
    message.swap_chain = swap_chain;
    post_message(RenderMessageType::Present, message);
}

void RenderInterface::set_fullscreen(Window &window, bool fullscreen, u32 output_index)
{
    SetFullscreenMessage message = {};
    message.window = &window;
    message.fullscreen = fullscreen ? 1 : 0;
    message.output_index = output_index;
    post_message(RenderMessageType::SetFullscreen, message);
}

void RenderInterface::resize_target(Window &window, u32 width, u32 height)
{
    ResizeTargetMessage message = {};
    message.window = &window;
    message.width = width;
    message.height = height;
    post_message(RenderMessageType::ResizeTarget, message);
}

void RenderInterface::resize_swap_chain(Window &window, u32 width, u32 height)
{
    ResizeSwapChainMessage message = {};
    message.window = &window;
    message.width = width;
    message.height = height;
    post_message(RenderMessageType::ResizeSwapChain, message);
}

void RenderInterface::back_buffer_size(u32 &out_width, u32 &out_height)
{
    wait_until_idle();
    out_width = out_height = 0;
    if (RenderTarget *target = _device->render_target(_device->back_buffer_key(), template_window_index)) {
        out_width = target->description.width;
        out_height = target->description.height;
    }
}

// --- Fences ----------------------------------------------------------------------------------

u32 RenderInterface::add_fence()
{
    Event *event = nullptr;
    {
        // Events of fences waited for are kept for reuse: a fence per frame allocates nothing.
        ScopedLock guard(_fence_lock);
        if (!_spare_fences.empty()) {
            event = _spare_fences.back();
            _spare_fences.pop_back();
        }
    }
    if (!event)
        event = make_new<Event>(_allocator, false, false);
    if (!event) {
        log_message("render", "no memory for a frame fence; waits on it return at once");
        return 0xFFFFFFFF;
    }
    u32 slot;
    {
        ScopedLock guard(_fence_lock);
        for (slot = 0; slot < _fences.size() && _fences[slot]; ++slot) {
        }
        if (slot == _fences.size() && !_fences.push_back(event)) {
            delete_with_allocator(_allocator, event);
            log_message("render", "no memory for a frame fence slot; waits on it return at once");
            return 0xFFFFFFFF;
        }
        _fences[slot] = event;
    }
    FenceMessage message = {};
    message.event = event;
    post_message(RenderMessageType::Fence, message);
    return slot;
}

void RenderInterface::wait_fence(u32 fence)
{
    Event *event = nullptr;
    {
        ScopedLock guard(_fence_lock);
        if (fence < _fences.size()) {
            event = _fences[fence];
            _fences[fence] = nullptr;
        }
    }
    if (!event) {
        log_message("render", "wait for fence %u, which is not taken; not waited for", fence);
        return;
    }
    if (_thread.is_valid())
        wait_pumping(event, nullptr);
    event->reset();
    ScopedLock guard(_fence_lock);
    if (!_spare_fences.push_back(event))
        delete_with_allocator(_allocator, event);
}

void RenderInterface::wait_pumping(Event *event, RenderResourceContext *context)
{
    // Only the main thread owns the windows: other threads (the resource loader) wait plainly.
    bool pump = current_thread_id() == _main_thread && !_windows.empty() && _window_calls.pump;
    for (;;) {
        bool done = event ? event->wait_timeout(pump ? 1 : wait_forever) : context->wait(pump ? 1 : wait_forever);
        if (done)
            return;
        for (Window *window : _windows)
            _window_calls.pump(*window);
    }
}

// --- Worlds ----------------------------------------------------------------------------------

RenderInterface::WorldEntry *RenderInterface::find_world(const void *world)
{
    for (WorldEntry &entry : _worlds)
        if (entry.world == world)
            return &entry;
    return nullptr;
}

u32 RenderInterface::world_count()
{
    ScopedLock guard(_lock);
    return _worlds.size();
}

void RenderInterface::discard_render_world(RenderWorld *render_world, WorldRenderLink *link)
{
    // Nothing was posted for them: the render thread has never seen either.
    delete_with_allocator(_allocator, render_world);
    delete_with_allocator(_allocator, link);
}

RenderWorld *RenderInterface::render_world_of(const void *world)
{
    ScopedLock guard(_lock);
    WorldEntry *entry = find_world(world);
    return entry ? entry->render_world : nullptr;
}

bool RenderInterface::create_render_world(RenderWorld *&out_render_world, WorldRenderLink *&out_link)
{
    out_render_world = nullptr;
    out_link = nullptr;
    RenderWorld *render_world = make_new<RenderWorld>(_allocator, _object_allocator, _pool);
    RenderStateQueue *first = render_world ? render_world->acquire_state_buffer() : nullptr;
    WorldRenderLink *link = first ? make_new<WorldRenderLink>(_allocator, _allocator, first) : nullptr;
    if (!link) {
        log_message("render", "no memory for a render world");
        delete_with_allocator(_allocator, render_world);
        return false;
    }
    render_world->set_shader_manager(_shaders);
    out_render_world = render_world;
    out_link = link;
    return true;
}

void RenderInterface::add_world(const void *world, RenderWorld *render_world, WorldRenderLink *link)
{
    if (!render_world || !link)
        return;
    {
        ScopedLock guard(_lock);
        if (find_world(world) || !_worlds.push_back({world, render_world, link})) {
            log_message("render", "world %p cannot be added (already added, or no memory)", world);
            return;
        }
    }
    AddWorldMessage message = {};
    message.render_world = render_world;
    post_message(RenderMessageType::AddWorld, message);
}

void RenderInterface::update_world(const void *world, f32 time, f32 delta_time)
{
    UpdateWorldMessage message = {};
    {
        ScopedLock guard(_lock);
        WorldEntry *entry = find_world(world);
        if (!entry) {
            log_message("render", "update of world %p, which was never added; dropped", world);
            return;
        }
        RenderStateQueue *fresh = entry->render_world->acquire_state_buffer();
        if (!fresh) {
            // The changes stay in the current buffer and go with the next update.
            log_message("render", "no fresh state buffer for world %p; its update waits a frame", world);
            return;
        }
        message.render_world = entry->render_world;
        message.buffer = entry->link->swap_state(fresh);
    }
    message.time = time;
    message.delta_time = delta_time;
    post_message(RenderMessageType::UpdateWorld, message);
}

void RenderInterface::render_world(const void *world, u32 camera, u32 viewport, u32 shading_environment,
                                   u32 swap_chain, f32 aspect_ratio)
{
    RenderWorldMessage message = {};
    {
        ScopedLock guard(_lock);
        WorldEntry *entry = find_world(world);
        if (!entry) {
            log_message("render", "render of world %p, which was never added; dropped", world);
            return;
        }
        message.render_world = entry->render_world;
    }
    message.camera = camera;
    message.viewport = viewport;
    message.shading_environment = shading_environment;
    message.swap_chain = swap_chain;
    message.aspect_ratio = aspect_ratio;
    post_message(RenderMessageType::RenderWorld, message);
}

void RenderInterface::remove_world(const void *world)
{
    update_world(world, 0.0f, 0.0f);
    RemoveWorldMessage message = {};
    {
        ScopedLock guard(_lock);
        WorldEntry *entry = find_world(world);
        if (!entry) {
            log_message("render", "removal of world %p, which was never added; dropped", world);
            return;
        }
        message.render_world = entry->render_world;
        message.link = entry->link;
        *entry = _worlds.back();
        _worlds.pop_back();
    }
    post_message(RenderMessageType::RemoveWorld, message);
}

// --- Resource contexts -----------------------------------------------------------------------

void RenderInterface::release_resource_context(u32 count, RenderResourceContext *const *contexts)
{
    if (!_thread.is_valid()) {
        // Nobody would ever execute or signal them: leave them signalled, unexecuted.
        log_message("render", "%u resource contexts handed over without a render thread; not executed", count);
        for (u32 i = 0; i < count; ++i)
            contexts[i]->set_event(false);
        return;
    }
    auto *holder = make_new<Array<RenderResourceContext *>>(_allocator, _allocator);
    if (holder)
        holder->reserve(count);
    if (!holder || holder->capacity() < count) {
        // Without the message nobody would ever signal the contexts, and only the render
        // thread may execute them: report, and signal them unexecuted.
        log_message("render", "no memory to hand %u resource contexts over; they are dropped", count);
        delete_with_allocator(_allocator, holder);
        for (u32 i = 0; i < count; ++i)
            contexts[i]->set_event(false);
        return;
    }
    for (u32 i = 0; i < count; ++i) {
        holder->push_back(contexts[i]);
        contexts[i]->set_event(true);
    }
    ExecuteResourceContextsMessage message = {};
    message.contexts = holder;
    post_message(RenderMessageType::ExecuteResourceContexts, message);
}

void RenderInterface::flush_resources(RenderResourceContext *context)
{
    if (!context)
        return;
    release_resource_context(1, &context);
    wait_resource_manager(context);
}

void RenderInterface::wait_resource_manager(RenderResourceContext *context)
{
    if (!context)
        return;
    wait_pumping(nullptr, context);
    _device->release_resource_context(context);
}

} // namespace tallow
