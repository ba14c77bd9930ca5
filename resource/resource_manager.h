#pragma once
// The registry of every loaded resource, found by (type, name) NameId64 pair.
//
//   ResourceLoader loader(&registry, &database, allocator);   // starts "resource_loader"
//   ResourceManager manager(loader, allocator);
//   manager.register_type(NameId64("lua"), ResourceTypeCallbacks{});   // raw bytes
//   manager.load(NameId64("lua"), NameId64("boot"), nullptr, manager.allocator());
//   u32 batch = manager.new_request_id();
//   manager.flush_until(batch);                 // or manager.update() once per frame
//   const void *script = manager.get(NameId64("lua"), NameId64("boot"));
//   ...
//   manager.unload(NameId64("lua"), NameId64("boot"), manager.allocator());
//
// Registering a type: fill a `ResourceTypeCallbacks`; every callback may be left null.
//   - load runs on the "resource_loader" thread and turns the resource's bytes into the
//     object the rest of the engine uses (allocate it from `params.allocator`); return
//     null on bad bytes, after logging why. Without a load callback the loaded data is
//     the resource's bytes, copied as they are into a block from the request's allocator.
//   - unload frees what load made (on the main thread). Without one, the block is given
//     back to the allocator passed to `unload`.
//   - bring_in / bring_out hand a loaded object to the main thread's systems and take it
//     back before unload; resolve fixes references between resources after a package
//     is flushed. All three run on the main thread.
//
// Loads are queued as requests and grouped in batches: `new_request_id` closes the batch
// of loads queued since the previous one and returns its id. Only the batch whose end is
// the next to complete goes to the loader, so a bundle is read front to back. Finished
// loads are handed in on the main thread by `update` (once per frame), `flush` or
// `flush_until`. A resource loaded n times needs n unloads.
//
// A load that fails (missing resource, corrupt source, load callback returned null) is
// logged; it leaves a reference without data, so `get` gives null and the unload that
// balances it frees nothing. Main thread only, apart from the callbacks noted above.
//
// Holding data: whatever reads a resource's data beyond the call that found it (a unit
// its unit resource, an effect its particles, a material its textures, a render-side copy)
// holds it:
//
//   const void *data = manager.acquire(type, name);     // null: nothing loaded to hold
//   ...                                                  // read `data` for as long as needed
//   manager.release(type, name, data);                   // when the holder lets go
//
// Data in use is never freed under its holders. Unloading the package it came from leaves
// it alive until the last release; a reload puts new data in the table and leaves the old
// data to the holders that still have it (they are handed the new data where their system
// takes it, and release the old). Either way the old data is freed at its last release,
// with one log line naming the resource. Before data is freed the free hook runs, so that
// another thread that draws from it (the render thread) is done with it.

#include "foundation/containers/array.h"
#include "foundation/containers/hash_map.h"
#include "foundation/containers/sort_map.h"
#include "foundation/memory/trace_allocator.h"
#include "resource/resource_hold.h"
#include "resource/resource_id.h"

namespace tallow {

class InputArchive;
class Bundle;
class ResourceLoader;
class RequestRing;
class ResourceManager;

/// What a load callback receives. The archive holds exactly the resource's bytes.
struct ResourceLoadParams {
    void *userdata;
    NameId64 type;
    NameId64 name;
    InputArchive &archive;
    u64 size_bytes;       // bytes in the archive
    Allocator &allocator; // where the loaded object goes
    u32 stamp;            // render stamp of the request (0 = none)
};

/// What an unload callback receives.
struct ResourceUnloadParams {
    void *userdata;
    NameId64 type;
    void *data;
    Allocator &allocator; // the allocator the caller of unload names
    u32 stamp;
};

struct ResourceTypeCallbacks {
    void *userdata = nullptr; // handed to every callback
    void *(*load)(const ResourceLoadParams &params) = nullptr;
    void (*unload)(const ResourceUnloadParams &params) = nullptr;
    void (*bring_in)(void *userdata, void *data) = nullptr;
    void (*bring_out)(void *userdata, void *data) = nullptr;
    void (*resolve)(void *userdata, void *data, ResourceManager &manager) = nullptr;
};

enum class ResourceRequestKind : u32 { Load = 0, BatchEnd = 1 };

/// One queued load or batch end, as it travels manager -> loader -> manager.
struct ResourceRequest {
    ResourceRequestKind kind = ResourceRequestKind::Load;
    ResourceId id;
    Bundle *bundle = nullptr;       // null = the loose-file database
    Allocator *allocator = nullptr; // where the loaded data goes
    u32 stamp = 0;
    void *(*load)(const ResourceLoadParams &) = nullptr;
    void *userdata = nullptr;
    void *result = nullptr; // set by the loader
    i32 references = 1;     // references the hand-in adds (a reload restores its count)
    u32 request_id = 0;
    bool cancelled = false;
    bool already_loaded = false;
    bool failed = false; // set by the loader; logged there
};

/// Runs before the manager frees loaded data (once per free): the render front end waits
/// there until the render thread has finished the frames that may still read it.
struct ResourceFreeHook {
    void *context = nullptr;
    void (*before_free)(void *context) = nullptr;
};

/// The render front end's request stamp: taken when a load is queued or data is freed,
/// released when the load is handed in or the free is done.
struct ResourceStampHook {
    void *context = nullptr;
    u32 (*take)(void *context) = nullptr;
    void (*release)(void *context, u32 stamp) = nullptr;
};

class ResourceManager {
  public:
    /// The loader must outlive the manager. `parent` backs the "resource_manager" allocator.
    ResourceManager(ResourceLoader &loader, Allocator &parent);
    /// Unloads nothing: every resource must have been unloaded (leftovers are logged and
    /// freed). Waits for requests still at the loader.
    ~ResourceManager();
    ResourceManager(const ResourceManager &) = delete;
    ResourceManager &operator=(const ResourceManager &) = delete;

    /// Registers a type. A type registered twice keeps its first callbacks (logged).
    bool register_type(NameId64 type, const ResourceTypeCallbacks &callbacks);
    bool is_type_registered(NameId64 type) const;

    /// Queues a load of (type, name) from `bundle` (null = the loose-file database) into
    /// `allocator`. False (logged) when the type is not registered: nothing is loaded and
    /// no reference is taken, but the resource's bundle record is still passed over. Also
    /// false (logged, no reference) when the request cannot be queued for lack of memory.
    bool load(NameId64 type, NameId64 name, Bundle *bundle, Allocator &allocator);
    /// Closes the current batch and returns its id. Takes no memory, so it cannot fail:
    /// the batch's end goes to the loader once its loads are there.
    u32 new_request_id();
    /// True when every load of batch `request_id` has been handed in.
    bool is_request_done(u32 request_id) const;
    /// Flags a queued load of batch `request_id` as cancelled. True when it was found and
    /// holds no reference (nothing to unload for it); false when it was already read,
    /// handed in or took a reference to data already loaded.
    bool cancel(NameId64 type, NameId64 name, u32 request_id);

    /// True when (type, name) is loaded with data.
    bool can_get(NameId64 type, NameId64 name) const;
    /// The loaded data, or null when it is not loaded (or its load failed).
    void *get(NameId64 type, NameId64 name) const;
    /// References held on (type, name); 0 when it has no entry.
    i32 reference_count(NameId64 type, NameId64 name) const;
    /// Drops one reference; the last one brings the data out and frees it.
    void unload(NameId64 type, NameId64 name, Allocator &allocator);
    /// Takes one holder's reference on the current data of (type, name) and returns that
    /// data; null (no reference taken) when there is no data to hold. Whatever keeps
    /// pointers into a resource's data across frames holds one, so that unloading or
    /// reloading the resource leaves the data alive until its last holder lets go.
    void *acquire(NameId64 type, NameId64 name);
    /// Gives back a reference `acquire` took on `data`, which may be data a reload has
    /// replaced since. The last reference frees the data with the allocator it was loaded
    /// into (logged when an unload or a reload happened while it was held). A release of
    /// data the manager does not hold for (type, name) is logged and ignored.
    void release(NameId64 type, NameId64 name, const void *data);
    /// Holders' references on the current data of (type, name) (part of `reference_count`).
    i32 holder_count(NameId64 type, NameId64 name) const;
    /// Replaced data still held by holders (and, until `free_data`, by the reload).
    u32 retired_count() const { return _retired.size(); }
    /// Takes (type, name) out of the table and queues one fresh read of it from the
    /// loose-file database that will carry its loads' references (its holders keep the old
    /// data); returns the old data, which stays alive until the caller hands it to
    /// `free_data` after flushing and until every holder has released it. Null (logged)
    /// when it is not loaded, only holders hold it (no package loads it any more), the
    /// resources come from bundles, which cannot be re-read, or the read cannot be queued
    /// for lack of memory (the entry then stays as it was).
    void *reload(NameId64 type, NameId64 name, Allocator &allocator);
    /// Lets go of data `reload` returned: frees it now when no holder has it, else at the
    /// last holder's release. Data the manager never held is freed at once (the type's
    /// unload, else `allocator`).
    void free_data(NameId64 type, void *data, Allocator &allocator);
    /// Runs the type's resolve callback on (type, name)'s data, when both exist.
    void resolve(NameId64 type, NameId64 name);

    /// Hands in every finished load without waiting. Once per frame.
    void update();
    /// Waits until every queued request has been handed in.
    void flush();
    /// Waits until batch `request_id` is done. Returns at once for an id that was never
    /// issued or when nothing is left at the loader.
    void flush_until(u32 request_id);

    void set_stamp_hook(const ResourceStampHook &hook) { _stamp_hook = hook; }
    void set_free_hook(const ResourceFreeHook &hook) { _free_hook = hook; }

    /// Requests waiting in the manager or at the loader.
    u32 outstanding_requests() const;
    /// Loaded entries of every type (with or without data).
    u32 loaded_count() const;
    /// The "resource_manager" allocator: package resource data is allocated from it.
    TraceAllocator &allocator() { return _allocator; }
    ResourceLoader &loader() { return _loader; }

  private:
    struct LoadedResource {
        void *data = nullptr;
        Allocator *allocator = nullptr; // the data's, for what is left at shutdown
        i32 references = 0; // loads and holders together
        i32 holders = 0;    // of which holders (`acquire`)
        bool unloaded = false; // its loads are all gone while holders have it (for the log)
    };
    /// Data a reload replaced, alive while holders (or the reload) still have it.
    struct RetiredData {
        u64 type = 0;
        u64 name = 0;
        void *data = nullptr;
        Allocator *allocator = nullptr;
        i32 holders = 0;
        bool reload_done = false; // `free_data` has let go of it
    };
    struct ResourceType {
        u64 type = 0;
        ResourceTypeCallbacks callbacks;
        HashMap<u64, LoadedResource> *loaded = nullptr; // by name id
    };

    ResourceType *find_type(u64 type);
    const ResourceType *find_type(u64 type) const;
    bool enqueue(const ResourceRequest &request); // false (logged) when the request cannot be queued
    void feed();
    void hand_in(ResourceRequest &request);
    void free_with(ResourceType &type, void *data, Allocator &allocator);
    void drop_reference(ResourceType &type, u64 name, Allocator &allocator, bool holder);
    void free_retired(u32 index);
    u32 take_stamp();
    void release_stamp(u32 stamp);

    TraceAllocator _allocator;
    ResourceLoader &_loader;
    RequestRing *_pending; // requests not yet handed to the loader
    u32 _next_request_id = 0;
    u32 _completed_request_id = 0; // every id below it is done
    u32 _batch_ends_fed = 0;       // every batch below it has its end at the loader
    SortMap<u64, ResourceType> _types; // by type id
    ResourceStampHook _stamp_hook;
    ResourceFreeHook _free_hook;
    Array<RetiredData> _retired;
    bool _shutting_down = false;
};

} // namespace tallow
