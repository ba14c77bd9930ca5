#pragma once
// The "resource_loader" thread: reads resources in the order the `ResourceManager` hands
// them over, runs each type's load callback off the main thread and queues the results
// for the manager to hand in.
//
//   ResourceLoader loader(registry, &database, allocator);   // thread starts here
//   ResourceManager manager(loader, allocator);
//
// The manager is the only client: it adds requests and takes completed ones on the main
// thread. Bytes come from the request's bundle, or from the loose-file database when the
// request has none. A bundle load that is cancelled or finds its resource already loaded
// still moves past the resource's record, so the next read lands on the next record.
// Failures (missing resource, corrupt bundle, a load callback returning null) are logged
// and come back as a failed request; the thread goes on.
//
// With a thread pool, the bytes of a raw load (no load callback) are copied from the
// bundle's inflated segments into the resource block by pool jobs while the thread reads
// on; a load is handed back, in request order, once its copies are done.

#include "foundation/threads/thread_registry.h"
#include "foundation/memory/trace_allocator.h"
#include "resource/resource_manager.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tallow {

class ExplodedDatabase;
class RequestRing;
class ThreadPool;

class ResourceLoader {
  public:
    /// `database` may be null when every request names a bundle. The thread is made
    /// through `registry` when given (the Application's), else as a plain thread (tests).
    /// `parent` backs the "resource_loader" allocator.
    ResourceLoader(ThreadRegistry *registry, ExplodedDatabase *database, Allocator &parent);
    /// Stops and joins the thread; requests not yet read are dropped.
    ~ResourceLoader();
    ResourceLoader(const ResourceLoader &) = delete;
    ResourceLoader &operator=(const ResourceLoader &) = delete;

    /// Queues a request for the thread.
    void add_request(const ResourceRequest &request);
    /// Takes the oldest completed request without waiting; false when none is ready.
    bool poll_completed(ResourceRequest &out_request);
    /// Waits for the oldest completed request; false at once when none is outstanding.
    bool wait_completed(ResourceRequest &out_request);
    /// Flags a load still waiting to be read. True when found and not already loaded.
    bool cancel_request(NameId64 type, NameId64 name, u32 request_id);
    /// Hands a new variant preference order (property ids, most preferred first) to the
    /// loose-file database. The loader thread applies it between two loads, so a load in
    /// flight finishes under the old order. Main thread.
    void set_property_preference_order(const u64 *property_ids, u32 count);
    /// Bundles opened for this loader's requests inflate their segments ahead on `pool`
    /// (null, the default: on the loader thread). Set it before packages open bundles; the
    /// pool must outlive them.
    void set_thread_pool(ThreadPool *pool) { _pool = pool; }
    ThreadPool *thread_pool() const { return _pool; }
    /// Requests added and not yet taken back as completed.
    u32 outstanding() const;
    bool has_database() const { return _database != nullptr; }
    /// The "resource_loader" allocator: the rings and the scratch blocks of load callbacks.
    TraceAllocator &allocator() { return _allocator; }

  private:
    struct InFlight;

    static void thread_entry(void *loader);
    void run();
    void process(ResourceRequest &request, std::atomic<u32> *copies);
    void hand_back(bool wait_for_copies);
    bool read_from_database(ResourceRequest &request);
    bool read_from_bundle(ResourceRequest &request, std::atomic<u32> *copies);
    void *finish_load(ResourceRequest &request, void *bytes, u64 size, bool bytes_are_result);
    void apply_pending_order();

    ExplodedDatabase *_database;
    ThreadPool *_pool = nullptr;
    ThreadRegistry *_registry;
    TraceAllocator _allocator; // the rings and scratch blocks
    RequestRing *_requests;
    RequestRing *_completed;
    InFlight *_in_flight; // loader thread: read, and handed back once their copies are done
    u32 _outstanding = 0;
    mutable std::mutex _lock; // both rings and _outstanding
    std::condition_variable _request_ready;
    std::condition_variable _completed_ready;
    bool _stop = false;
    Array<u64> _pending_order; // under _lock: the order the main thread handed over
    bool _order_pending = false;
    Array<u64> _order;         // loader thread: the order being applied
    ThreadHandle _handle; // when made through the registry
    std::thread _thread;  // otherwise
};

} // namespace tallow
