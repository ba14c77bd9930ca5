#include "resource/resource_loader.h"

#include "foundation/io/input_archive.h"
#include "foundation/log.h"
#include "foundation/io/memory_buffer.h"
#include "resource/bundle.h"
#include "resource/exploded_database.h"
#include "resource/request_ring.h"

namespace tallow {

namespace {

// Raw resources are handed out as the engine's records; 16 keeps any field type aligned.
constexpr u32 raw_block_alignment = 16;

} // namespace

// Loads read by the thread, oldest first, waiting until pool jobs have copied their bytes.
struct ResourceLoader::InFlight {
    static constexpr u32 capacity = 64;
    static constexpr u32 hand_back_batch = 8; // while more requests wait to be read
    struct Entry {
        ResourceRequest request;
        std::atomic<u32> copies{0}; // copies of this load's bytes not yet done
    };
    Entry &at(u32 i) { return entries[(head + i) % capacity]; }

    Entry entries[capacity];
    u32 head = 0;
    u32 count = 0;
};

ResourceLoader::ResourceLoader(ThreadRegistry *registry, ExplodedDatabase *database, Allocator &parent)
    : _database(database), _registry(registry), _allocator("resource_loader", parent), _pending_order(_allocator),
      _order(_allocator)
{
    _requests = make_new<RequestRing>(_allocator, _allocator);
    _completed = make_new<RequestRing>(_allocator, _allocator);
    _in_flight = make_new<InFlight>(_allocator);
    if (_registry) {
        _handle = _registry->create_thread("resource_loader", &ResourceLoader::thread_entry, this);
        if (!_handle.is_valid())
            log_message("resource", "the resource_loader thread could not be started; nothing will load");
    } else {
        _thread = std::thread([this] {
            set_current_thread_name("resource_loader");
            run();
        });
    }
}

ResourceLoader::~ResourceLoader()
{
    {
        std::lock_guard<std::mutex> guard(_lock);
        _stop = true;
    }
    _request_ready.notify_one();
    if (_handle.is_valid())
        _registry->join(_handle);
    if (_thread.joinable())
        _thread.join();
    if (_outstanding)
        log_message("resource", "resource loader stopped with %u requests outstanding", _outstanding);
    delete_with_allocator(_allocator, _requests);
    delete_with_allocator(_allocator, _completed);
    delete_with_allocator(_allocator, _in_flight);
}

void ResourceLoader::set_property_preference_order(const u64 *property_ids, u32 count)
{
    {
        std::lock_guard<std::mutex> guard(_lock);
        _pending_order.clear();
        for (u32 i = 0; i < count; ++i)
            _pending_order.push_back(property_ids[i]);
        _order_pending = true;
    }
    if (!_handle.is_valid() && !_thread.joinable())
        apply_pending_order(); // no thread: the caller's thread is the one that reads
}

// Runs on the thread that reads (the loader thread, or the caller's without one).
void ResourceLoader::apply_pending_order()
{
    {
        std::lock_guard<std::mutex> guard(_lock);
        if (!_order_pending)
            return;
        _order.clear();
        for (u32 i = 0; i < _pending_order.size(); ++i)
            _order.push_back(_pending_order[i]);
        _order_pending = false;
    }
    if (_database)
        _database->set_active_properties(_order.data(), _order.size());
}

void ResourceLoader::add_request(const ResourceRequest &request)
{
    if (!_handle.is_valid() && !_thread.joinable()) {
        // No thread: read on the caller's thread rather than leave the manager waiting.
        ResourceRequest done = request;
        apply_pending_order();
        process(done, nullptr);
        std::lock_guard<std::mutex> guard(_lock);
        if (_completed->push(done))
            ++_outstanding;
        return;
    }
    {
        std::lock_guard<std::mutex> guard(_lock);
        if (!_requests->push(request))
            return;
        ++_outstanding;
    }
    _request_ready.notify_one();
}

bool ResourceLoader::poll_completed(ResourceRequest &out_request)
{
    std::lock_guard<std::mutex> guard(_lock);
    if (_completed->empty())
        return false;
    out_request = _completed->pop_front();
    --_outstanding;
    return true;
}

bool ResourceLoader::wait_completed(ResourceRequest &out_request)
{
    std::unique_lock<std::mutex> guard(_lock);
    if (_outstanding == 0)
        return false;
    // A request the thread could not hand back lowers the count instead of arriving.
    _completed_ready.wait(guard, [this] { return !_completed->empty() || _outstanding == 0; });
    if (_completed->empty())
        return false;
    out_request = _completed->pop_front();
    --_outstanding;
    return true;
}

bool ResourceLoader::cancel_request(NameId64 type, NameId64 name, u32 request_id)
{
    std::lock_guard<std::mutex> guard(_lock);
    for (u32 i = 0; i < _requests->count(); ++i) {
        ResourceRequest &r = _requests->at(i);
        if (r.kind == ResourceRequestKind::Load && r.id.type == type && r.id.name == name &&
            r.request_id == request_id && !r.cancelled) {
            r.cancelled = true;
            return !r.already_loaded;
        }
    }
    return false;
}

u32 ResourceLoader::outstanding() const
{
    std::lock_guard<std::mutex> guard(_lock);
    return _outstanding;
}

void ResourceLoader::thread_entry(void *loader) { static_cast<ResourceLoader *>(loader)->run(); }

void ResourceLoader::run()
{
    if (!_in_flight) {
        log_message("resource", "no memory for the resource_loader thread's loads in flight; nothing will load");
        return;
    }
    for (;;) {
        ResourceRequest request;
        {
            std::unique_lock<std::mutex> guard(_lock);
            if (_in_flight->count && (_stop || _requests->empty())) {
                // Nothing else to do first: finish the copies and hand every load back.
                guard.unlock();
                hand_back(true);
                continue;
            }
            _request_ready.wait(guard, [this] { return _stop || !_requests->empty(); });
            if (_stop)
                return;
            // Taken off the ring only now: cancel_request must still find it until then.
            request = _requests->front();
            _requests->pop_front();
        }
        if (_in_flight->count == InFlight::capacity)
            hand_back(true);
        apply_pending_order();
        InFlight::Entry &entry = _in_flight->at(_in_flight->count);
        entry.request = request;
        entry.copies.store(0, std::memory_order_relaxed);
        process(entry.request, &entry.copies); // copies are left to a pool only by bundles given one
        ++_in_flight->count;
        hand_back(false);
    }
}

// Hands back the oldest loads whose bytes are in place, in order; with `wait_for_copies`,
// all of them. Otherwise it waits until a few are ready: each hand-back may wake the main
// thread, and a wake-up costs about as much as reading a small resource.
void ResourceLoader::hand_back(bool wait_for_copies)
{
    u32 ready = 0;
    for (; ready < _in_flight->count; ++ready) {
        InFlight::Entry &entry = _in_flight->at(ready);
        if (entry.copies.load(std::memory_order_acquire) == 0)
            continue;
        if (!wait_for_copies)
            break;
        entry.request.bundle->settle_copies(); // only bundle reads leave copies
    }
    if (!ready || (!wait_for_copies && ready < InFlight::hand_back_batch))
        return;
    {
        std::lock_guard<std::mutex> guard(_lock);
        for (u32 i = 0; i < ready; ++i) {
            ResourceRequest &request = _in_flight->at(i).request;
            if (!_completed->push(request)) {
                // Cannot hand it back: the manager would wait for ever. Keep the count honest.
                --_outstanding;
                if (request.result)
                    log_message("resource", "lost the loaded data of %016llx (type %016llx)", hex(request.id.name),
                                hex(request.id.type));
            }
        }
    }
    _in_flight->head = (_in_flight->head + ready) % InFlight::capacity;
    _in_flight->count -= ready;
    _completed_ready.notify_one();
}

void ResourceLoader::process(ResourceRequest &request, std::atomic<u32> *copies)
{
    if (request.kind != ResourceRequestKind::Load)
        return;
    if (request.cancelled || request.already_loaded) {
        // A bundle is one stream read in request order: the record of every load that is
        // not read must still be passed, or the next load would read this one's bytes.
        if (request.bundle)
            request.bundle->skip_resource(request.id);
        return;
    }
    bool ok = request.bundle ? read_from_bundle(request, copies) : read_from_database(request);
    if (!ok) {
        request.failed = true;
        request.result = nullptr;
    }
}

void *ResourceLoader::finish_load(ResourceRequest &request, void *bytes, u64 size, bool bytes_are_result)
{
    if (bytes_are_result)
        return bytes;
    InputArchive archive(make_shared_reference<MemoryInputBuffer>(_allocator, bytes, size));
    void *result = request.load(ResourceLoadParams{request.userdata, request.id.type, request.id.name, archive, size,
                                                   *request.allocator, request.stamp});
    if (!result)
        log_message("resource",
                    "resource %016llx (type %016llx) could not be loaded: its loader rejected its %llu bytes",
                    hex(request.id.name), hex(request.id.type), (unsigned long long)size);
    return result;
}

bool ResourceLoader::read_from_bundle(ResourceRequest &request, std::atomic<u32> *copies)
{
    Bundle &bundle = *request.bundle;
    u64 size = 0;
    if (!bundle.begin_resource(request.id, size))
        return false;
    bool raw = request.load == nullptr;
    Allocator &target = raw ? *request.allocator : static_cast<Allocator &>(_allocator);
    // One byte at least, so an empty resource still has data to hand out.
    void *bytes = target.allocate(size ? size : 1, raw_block_alignment);
    if (!bytes) {
        log_message("resource", "out of memory reading %016llx (type %016llx) (%llu bytes)", hex(request.id.name),
                    hex(request.id.type), (unsigned long long)size);
        bundle.finish_resource(nullptr);
        return false;
    }
    // A load callback reads the bytes at once: only raw blocks take copies left to the pool.
    if (!bundle.finish_resource(bytes, raw ? copies : nullptr)) {
        target.deallocate(bytes);
        return false;
    }
    request.result = finish_load(request, bytes, size, raw);
    if (!raw)
        _allocator.deallocate(bytes);
    return request.result != nullptr;
}

bool ResourceLoader::read_from_database(ResourceRequest &request)
{
    if (!_database) {
        log_message("resource", "cannot load %016llx (type %016llx): no bundle given and no loose-file database",
                    hex(request.id.name), hex(request.id.type));
        return false;
    }
    bool raw = request.load == nullptr;
    Allocator &target = raw ? *request.allocator : static_cast<Allocator &>(_allocator);
    LooseFile file;
    if (!_database->read(request.id, target, raw_block_alignment, file))
        return false;
    request.result = finish_load(request, file.data, file.size, raw);
    if (!raw)
        _allocator.deallocate(file.data);
    return request.result != nullptr;
}

} // namespace tallow
