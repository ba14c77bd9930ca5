#pragma once
// The platform-independent base of the render device: the pools every device shares
// (render contexts, resource contexts, the handle pool), the per-window render-target
// instances, and the merge and sort of a frame's sort entries.
//
//   class MyDevice final : public RenderDevice {
//       bool initialize(const DeviceSettings &settings) override;
//       void present(u32 swap_chain) override;
//       void dispatch(u32 count, RenderContext *const *contexts) override;   // merge_and_sort_commands, then execute
//     protected:
//       void execute_resource_updates(u32 count, RenderResourceContext *const *contexts) override;
//   };
//
// A new device implements initialize, present, dispatch and execute_resource_updates, and
// calls add_window_targets / remove_window_targets when a swap chain is created or
// destroyed. Everything runs on the render thread except the handle pool and the template
// and window tables, which resource contexts use from any thread (a template is created or
// destroyed through the context that files its instances): those take the tables' lock.
// An instance a destroyed template leaves is freed by its resource context once the
// device has executed the release (on the render thread), never while the render thread
// may still hold it.
//
// Window indices are stable: removing a window clears its entry and never shifts later
// windows, since swap-chain ids and instances keep their window index.

#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "render/commands/render_context.h"
#include "render/resources/render_resource_context.h"
#include "render/resources/render_resource_handle_pool.h"
#include "render/resources/render_target.h"

#include <mutex>

namespace tallow {

struct DeviceSettings;

/// The driver's stereoscopic parameters as a device reads them (render_device.h).
struct StereoReading {
    bool activated = false;      // stereo is switched on for the device this frame
    f32 eye_separation = 0;      // as the driver reports it
    f32 separation_percent = 0;  // 0 to 100
    f32 convergence = 0;
};

class RenderDevice {
  public:
    /// Everything the device makes is allocated through a TraceAllocator "RenderDevice"
    /// over `parent`.
    explicit RenderDevice(Allocator &parent);
    virtual ~RenderDevice();
    RenderDevice(const RenderDevice &) = delete;
    RenderDevice &operator=(const RenderDevice &) = delete;

    /// Starts the device; false when it cannot.
    virtual bool initialize(const DeviceSettings &settings) = 0;
    /// Presents a swap chain.
    virtual void present(u32 swap_chain) = 0;

    /// A context from the free stack, or a new one (null when allocation fails).
    virtual RenderContext *alloc_render_context();
    /// Resets the context and keeps it for reuse. Null is ignored.
    virtual void release_render_context(RenderContext *context);

    /// Executes the contexts' update streams in order (execute_resource_updates), then
    /// returns each context's released handle indices to the pool and empties its stream.
    /// The caller signals each context's event afterwards.
    void update_resources(u32 count, RenderResourceContext *const *contexts);
    /// Sorts (merge_and_sort_commands) and executes the contexts' commands in key order.
    virtual void dispatch(u32 count, RenderContext *const *contexts) = 0;

    /// A new resource context bound to the handle pool; any thread.
    virtual RenderResourceContext *alloc_resource_context();
    /// Destroys the context (waiting for its event first). Null is ignored.
    virtual void release_resource_context(RenderResourceContext *context);

    /// Reads the driver's stereo parameters into `out`. False when the device holds no
    /// stereo handle (the driver library is absent or stereo was off when it started):
    /// there is nothing to read. Values the driver refuses read as 0. Render thread.
    virtual bool read_stereo(StereoReading *out) const
    {
        (void)out;
        return false;
    }

    /// The window index used by lookups that pass template_window_index.
    void set_current_swap_chain(u32 window_index) { _current_window = window_index; }
    u32 current_swap_chain() const { return _current_window; }

    /// The instance of `key` (a registered template or back_buffer_key()) in a window
    /// (template_window_index: the current one); null when the window or key has none.
    /// Any thread; the instance stays valid on the render thread until its template's
    /// release has been executed.
    RenderTarget *render_target(const RenderTarget *key, u32 window_index);
    /// Appends a window's instances in key order. Any thread.
    void render_target_list(Array<RenderTarget *> &out_targets, u32 window_index);

    /// Gathers every context's sort entries into `out` (emptied first) and sorts them by
    /// signed 64-bit key. Entries with equal keys keep the order of the contexts and of
    /// their filing, unless shuffle_equal_keys is on.
    void merge_and_sort_commands(Array<RenderSortEntry> &out, u32 count, RenderContext *const *contexts);

    /// Files a new window's back buffer and makes an instance of every template for it.
    /// Render thread (it executes the instances' creation).
    void add_window_targets(u32 window_index, RenderTarget *back_buffer);
    /// Releases and destroys a window's instances and clears its entry (indices stay).
    /// Render thread.
    void remove_window_targets(u32 window_index);

    /// Registers a template and makes its instance for every window, filing their
    /// creation in `context`. From the thread that writes `context`.
    void create_render_target(RenderTarget *render_template, RenderResourceContext &context);
    /// Unregisters a template, releasing its instances into `context`, which frees them
    /// after the device executed it. From the thread that writes `context`.
    void destroy_render_target(RenderTarget *render_template, RenderResourceContext &context);

    /// The key under which each window's back buffer is filed.
    const RenderTarget *back_buffer_key() const { return _back_buffer_key; }
    RenderResourceHandlePool &handle_pool() { return _handle_pool; }
    TraceAllocator &allocator() { return _allocator; }
    u32 window_count() const;
    u32 template_count() const;
    u32 render_context_count() const { return _all_contexts.size(); }

    /// Test builds: after sorting, entries with equal keys are shuffled with this seed (0
    /// turns it off), so anything that relies on their order shows up in tests.
    void set_shuffle_equal_keys(u64 seed) { _shuffle_seed = seed; }

  protected:
    /// Executes the update streams (records 0 to 11) in order, making each handle name a
    /// device object before it returns.
    virtual void execute_resource_updates(u32 count, RenderResourceContext *const *contexts) = 0;

  private:
    struct WindowTarget {
        const RenderTarget *key;
        RenderTarget *instance;
    };
    struct WindowEntry {
        explicit WindowEntry(Allocator &allocator) : targets(allocator) {}
        Array<WindowTarget> targets; // sorted by key
        bool active = false;
    };
    struct SortItem { // small frames sort these, then gather
        u64 key; // the signed key with its sign bit flipped, so unsigned order is signed order
        u32 index;
        u32 padding;
    };

    // The helpers below expect the tables' lock held.
    WindowEntry *window_entry(u32 window_index);
    RenderTarget *find_target(const RenderTarget *key, u32 window_index);
    void file_target(WindowEntry &entry, const RenderTarget *key, RenderTarget *instance);
    void make_instance(const RenderTarget *render_template, u32 window_index, RenderResourceContext &context);
    void remove_instance(const RenderTarget *render_template, u32 window_index, RenderResourceContext &context);
    void shuffle_equal_runs(Array<RenderSortEntry> &entries);

    TraceAllocator _allocator;
    RenderResourceHandlePool _handle_pool;
    BackBufferWrapper *_back_buffer_key;
    Array<RenderContext *> _all_contexts;
    Array<RenderContext *> _free_contexts;
    std::mutex _context_mutex; // generators may take contexts from jobs
    mutable std::mutex _targets_mutex; // guards _windows (with their targets) and _templates
    Array<WindowEntry *> _windows;
    u32 _current_window = 0;
    Array<RenderTarget *> _templates;
    Array<RenderSortEntry> _merged; // the frame's entries before sorting
    Array<SortItem> _sort_items;
    u64 _shuffle_seed = 0;
};

} // namespace tallow
