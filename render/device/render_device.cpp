#include "render/device/render_device.h"

#include "foundation/log.h"

#include <algorithm>
#include <cstring>

namespace tallow {

namespace {
constexpr u64 sign_bit = 1ull << 63;
// Below this many entries a comparison sort beats the passes of the radix sort.
constexpr u32 radix_threshold = 256;

void copy_target_fields(RenderTarget &to, const RenderTarget &from)
{
    to.description = from.description;
    to.array_size = from.array_size;
    to.sample_count = from.sample_count;
    to.sample_quality = from.sample_quality;
    memcpy(to.clear_color, from.clear_color, sizeof to.clear_color);
    to.multisampled = from.multisampled;
    to.suppress_clear = from.suppress_clear;
    to.hint_needs_clearing = from.hint_needs_clearing;
}

// Makes room for one more element; false when the array cannot grow.
template <typename T> bool room_for_one(Array<T> &array)
{
    if (array.size() == array.capacity())
        array.grow();
    return array.size() < array.capacity();
}
} // namespace

RenderDevice::RenderDevice(Allocator &parent)
    : _allocator("RenderDevice", parent), _handle_pool(_allocator), _back_buffer_key(nullptr),
      _all_contexts(_allocator), _free_contexts(_allocator), _windows(_allocator), _templates(_allocator),
      _merged(_allocator), _sort_items(_allocator)
{
    _back_buffer_key = make_new<BackBufferWrapper>(_allocator, _allocator);
}

RenderDevice::~RenderDevice()
{
    // The device is going away with its objects, so instances are freed without release
    // records.
    for (WindowEntry *entry : _windows) {
        if (!entry)
            continue;
        for (WindowTarget &t : entry->targets)
            if (t.key != _back_buffer_key)
                delete_with_allocator(_allocator, t.instance);
        delete_with_allocator(_allocator, entry);
    }
    for (RenderContext *context : _all_contexts)
        delete_with_allocator(_allocator, context);
    delete_with_allocator(_allocator, _back_buffer_key);
}

RenderContext *RenderDevice::alloc_render_context()
{
    std::lock_guard<std::mutex> lock(_context_mutex);
    if (!_free_contexts.empty()) {
        RenderContext *context = _free_contexts.back();
        _free_contexts.pop_back();
        return context;
    }
    // The free stack keeps room for every context ever made, so a release never fails.
    if (!room_for_one(_all_contexts) || _free_contexts.capacity() < _all_contexts.size() + 1) {
        _free_contexts.reserve(_all_contexts.capacity());
        if (_all_contexts.size() == _all_contexts.capacity() || _free_contexts.capacity() < _all_contexts.size() + 1)
            return nullptr;
    }
    RenderContext *context = make_new<RenderContext>(_allocator, _allocator);
    if (!context) {
        log_message("render", "no memory for a render context");
        return nullptr;
    }
    _all_contexts.push_back(context);
    return context;
}

void RenderDevice::release_render_context(RenderContext *context)
{
    if (!context)
        return;
    context->reset();
    std::lock_guard<std::mutex> lock(_context_mutex);
    // Room was reserved when the context was made, so this push cannot fail.
    _free_contexts.push_back(context);
}

void RenderDevice::update_resources(u32 count, RenderResourceContext *const *contexts)
{
    execute_resource_updates(count, contexts);
    for (u32 i = 0; i < count; ++i)
        if (contexts[i])
            contexts[i]->complete_updates();
}

RenderResourceContext *RenderDevice::alloc_resource_context()
{
    RenderResourceContext *context = make_new<RenderResourceContext>(_allocator, _handle_pool, _allocator, *this);
    if (!context)
        log_message("render", "no memory for a resource context");
    return context;
}

void RenderDevice::release_resource_context(RenderResourceContext *context)
{
    delete_with_allocator(_allocator, context);
}

RenderDevice::WindowEntry *RenderDevice::window_entry(u32 window_index)
{
    if (window_index == template_window_index)
        window_index = _current_window;
    return window_index < _windows.size() ? _windows[window_index] : nullptr;
}

u32 RenderDevice::window_count() const
{
    std::lock_guard<std::mutex> lock(_targets_mutex);
    return _windows.size();
}

u32 RenderDevice::template_count() const
{
    std::lock_guard<std::mutex> lock(_targets_mutex);
    return _templates.size();
}

RenderTarget *RenderDevice::render_target(const RenderTarget *key, u32 window_index)
{
    std::lock_guard<std::mutex> lock(_targets_mutex);
    return find_target(key, window_index);
}

RenderTarget *RenderDevice::find_target(const RenderTarget *key, u32 window_index)
{
    WindowEntry *entry = window_entry(window_index);
    if (!entry)
        return nullptr;
    const WindowTarget *begin = entry->targets.begin(), *end = entry->targets.end();
    const WindowTarget *at =
        std::lower_bound(begin, end, key, [](const WindowTarget &t, const RenderTarget *k) { return t.key < k; });
    return at != end && at->key == key ? at->instance : nullptr;
}

void RenderDevice::render_target_list(Array<RenderTarget *> &out_targets, u32 window_index)
{
    std::lock_guard<std::mutex> lock(_targets_mutex);
    if (WindowEntry *entry = window_entry(window_index))
        for (const WindowTarget &t : entry->targets)
            out_targets.push_back(t.instance);
}

void RenderDevice::file_target(WindowEntry &entry, const RenderTarget *key, RenderTarget *instance)
{
    Array<WindowTarget> &targets = entry.targets;
    u32 at = 0;
    while (at < targets.size() && targets[at].key < key)
        ++at;
    if (at < targets.size() && targets[at].key == key)
        targets[at].instance = instance;
    else
        targets.insert(at, WindowTarget{key, instance});
}

void RenderDevice::make_instance(const RenderTarget *render_template, u32 window_index, RenderResourceContext &context)
{
    WindowEntry *entry = window_entry(window_index);
    if (!entry || find_target(render_template, window_index))
        return;
    RenderTarget *instance = nullptr;
    if (render_template->type == RenderResourceType::DependentRenderTarget)
        instance = DependentRenderTarget::create(
            _allocator, static_cast<const DependentRenderTarget *>(render_template)->dependency);
    else
        instance = make_new<RenderTarget>(_allocator, _allocator);
    if (!instance) {
        log_message("render", "no memory for a render target instance of window %u", window_index);
        return;
    }
    copy_target_fields(*instance, *render_template);
    instance->window_index = window_index;
    // Filed before its creation, so a dependent instance created in the same stream finds
    // its source through render_target when the device resolves it.
    file_target(*entry, render_template, instance);
    context.create_resource(instance);
}

void RenderDevice::remove_instance(const RenderTarget *render_template, u32 window_index, RenderResourceContext &context)
{
    WindowEntry *entry = window_entry(window_index);
    if (!entry)
        return;
    Array<WindowTarget> &targets = entry->targets;
    for (u32 i = 0; i < targets.size(); ++i) {
        if (targets[i].key != render_template)
            continue;
        RenderTarget *instance = targets[i].instance;
        targets.erase(i);
        context.release_resource(instance);
        // Freed by the context after the device executed the release: until then the
        // render thread may hold the instance (a create record in an earlier stream, a
        // window's target list, a lookup made before this).
        context.retire_target(instance);
        return;
    }
}

void RenderDevice::add_window_targets(u32 window_index, RenderTarget *back_buffer)
{
    if (window_index == template_window_index)
        return;
    RenderResourceContext *context = alloc_resource_context();
    if (!context)
        return;
    {
        std::lock_guard<std::mutex> lock(_targets_mutex);
        while (_windows.size() <= window_index)
            if (!_windows.push_back(nullptr))
                break;
        if (window_index < _windows.size() && !_windows[window_index])
            _windows[window_index] = make_new<WindowEntry>(_allocator, _allocator);
        // Entries between the old end and this window stay null: "empty" until a window comes.
        if (window_index < _windows.size() && _windows[window_index]) {
            file_target(*_windows[window_index], _back_buffer_key, back_buffer);
            for (RenderTarget *t : _templates)
                make_instance(t, window_index, *context);
        }
    }
    // Outside the lock: executing the stream resolves dependent instances, which looks
    // targets up.
    update_resources(1, &context);
    release_resource_context(context);
}

void RenderDevice::remove_window_targets(u32 window_index)
{
    RenderResourceContext *context = nullptr;
    {
        std::lock_guard<std::mutex> lock(_targets_mutex);
        if (window_index >= _windows.size() || !_windows[window_index])
            return;
        context = alloc_resource_context();
        if (!context)
            return;
        for (RenderTarget *t : _templates)
            remove_instance(t, window_index, *context);
        // Cleared, not erased: swap-chain ids and instances keep their window index, so
        // later windows must not move down.
        delete_with_allocator(_allocator, _windows[window_index]);
        _windows[window_index] = nullptr;
    }
    update_resources(1, &context);
    release_resource_context(context);
}

void RenderDevice::create_render_target(RenderTarget *render_template, RenderResourceContext &context)
{
    std::lock_guard<std::mutex> lock(_targets_mutex);
    for (RenderTarget *t : _templates)
        if (t == render_template)
            return;
    if (!_templates.push_back(render_template))
        return;
    for (u32 w = 0; w < _windows.size(); ++w)
        if (_windows[w])
            make_instance(render_template, w, context);
}

void RenderDevice::destroy_render_target(RenderTarget *render_template, RenderResourceContext &context)
{
    std::lock_guard<std::mutex> lock(_targets_mutex);
    if (!_templates.remove_value(render_template))
        return;
    for (u32 w = 0; w < _windows.size(); ++w)
        if (_windows[w])
            remove_instance(render_template, w, context);
}

void RenderDevice::merge_and_sort_commands(Array<RenderSortEntry> &out, u32 count, RenderContext *const *contexts)
{
    out.clear();
    u64 total = 0;
    for (u32 i = 0; i < count; ++i)
        if (contexts[i])
            total += contexts[i]->entries().size();
    if (total == 0)
        return;
    if (total > 0x7FFFFFFFull) {
        log_message("render", "%llu sort entries in one frame; frame dropped", (unsigned long long)total);
        return;
    }
    const u32 n = u32(total);
    _merged.resize(n);
    out.resize(n);
    if (_merged.size() != n || out.size() != n) {
        log_message("render", "no memory to sort %u entries; frame dropped", n);
        out.clear();
        return;
    }
    u32 at = 0;
    for (u32 i = 0; i < count; ++i) {
        if (!contexts[i] || contexts[i]->entries().empty())
            continue; // an empty context may own no storage at all
        const Array<RenderSortEntry> &entries = contexts[i]->entries();
        memcpy(_merged.data() + at, entries.data(), entries.size() * sizeof(RenderSortEntry));
        at += entries.size();
    }

    // Both sorts below keep equal keys in merge order (the order of the contexts, then of
    // their filing), so a frame sorts the same way every time.
    if (n < radix_threshold) {
        _sort_items.resize(n);
        if (_sort_items.size() != n) {
            out.clear();
            return;
        }
        SortItem *items = _sort_items.data();
        for (u32 i = 0; i < n; ++i)
            items[i] = SortItem{u64(_merged[i].key) ^ sign_bit, i, 0};
        std::sort(items, items + n, [](const SortItem &a, const SortItem &b) {
            return a.key != b.key ? a.key < b.key : a.index < b.index;
        });
        for (u32 i = 0; i < n; ++i)
            out[i] = _merged[items[i].index];
    } else {
        // LSD radix sort of the entries themselves, 11 bits per pass (6 passes cover the
        // key), stable. Moving whole entries beats sorting (key, index) pairs and gathering
        // afterwards once the frame outgrows the cache: the gather is a cache miss per
        // entry. A digit that is the same in every key (most of the layer field and the
        // unused bits) costs no pass, so a frame's keys usually take four.
        constexpr u32 digit_bits = 11, digit_count = 6, bucket_count = 1u << digit_bits;
        static thread_local u32 histograms[digit_count][bucket_count];
        memset(histograms, 0, sizeof histograms);
        for (u32 i = 0; i < n; ++i) {
            const u64 k = u64(_merged[i].key) ^ sign_bit;
            for (u32 d = 0; d < digit_count; ++d)
                ++histograms[d][(k >> (digit_bits * d)) & (bucket_count - 1)];
        }
        RenderSortEntry *from = _merged.data();
        RenderSortEntry *to = out.data();
        for (u32 d = 0; d < digit_count; ++d) {
            const u32 shift = digit_bits * d;
            u32 *h = histograms[d];
            if (h[((u64(from[0].key) ^ sign_bit) >> shift) & (bucket_count - 1)] == n)
                continue;
            u32 sum = 0;
            for (u32 v = 0; v < bucket_count; ++v) {
                const u32 c = h[v];
                h[v] = sum;
                sum += c;
            }
            for (u32 i = 0; i < n; ++i)
                to[h[((u64(from[i].key) ^ sign_bit) >> shift) & (bucket_count - 1)]++] = from[i];
            std::swap(from, to);
        }
        if (from != out.data())
            memcpy(out.data(), from, u64(n) * sizeof(RenderSortEntry));
    }
    if (_shuffle_seed)
        shuffle_equal_runs(out);
}

void RenderDevice::shuffle_equal_runs(Array<RenderSortEntry> &entries)
{
    u64 state = _shuffle_seed;
    auto next = [&state]() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    const u32 n = entries.size();
    for (u32 begin = 0; begin < n;) {
        u32 end = begin + 1;
        while (end < n && entries[end].key == entries[begin].key)
            ++end;
        for (u32 i = end - 1; i > begin; --i)
            std::swap(entries[i], entries[begin + u32(next() % (i - begin + 1))]);
        begin = end;
    }
    _shuffle_seed = state ? state : 1;
}

} // namespace tallow
