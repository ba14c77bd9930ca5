#include "resource/resource_manager.h"

#include "foundation/log.h"
#include "resource/request_ring.h"
#include "resource/resource_loader.h"

namespace tallow {

ResourceManager::ResourceManager(ResourceLoader &loader, Allocator &parent)
    : _allocator("resource_manager", parent), _loader(loader), _types(_allocator), _retired(_allocator)
{
    _pending = make_new<RequestRing>(_allocator, _allocator);
}

ResourceManager::~ResourceManager()
{
    flush();
    // What is left goes here; unload callbacks that give back their own holds (a material
    // its textures) must not free data a second time.
    _shutting_down = true;
    for (auto &record : _types) {
        ResourceType &type = record.value;
        for (auto &entry : *type.loaded) {
            log_message("resource",
                        "resource %016llx (type %016llx) still loaded at shutdown (%d references); freeing it",
                        (unsigned long long)entry.key, (unsigned long long)type.type, entry.value.references);
            if (entry.value.data) {
                if (type.callbacks.bring_out)
                    type.callbacks.bring_out(type.callbacks.userdata, entry.value.data);
                free_with(type, entry.value.data, *entry.value.allocator);
            }
        }
        delete_with_allocator(_allocator, type.loaded);
    }
    for (RetiredData &r : _retired) {
        log_message("resource", "resource %016llx (type %016llx) replaced by a reload still held at shutdown (%d holders); "
                                "freeing it",
                    (unsigned long long)r.name, (unsigned long long)r.type, r.holders);
        if (ResourceType *type = find_type(r.type))
            free_with(*type, r.data, *r.allocator);
    }
    _retired.clear();
    _types.clear();
    delete_with_allocator(_allocator, _pending);
}

ResourceManager::ResourceType *ResourceManager::find_type(u64 type)
{
    u32 i = _types.find_index(type);
    return i == _types.size() ? nullptr : &_types.value(i);
}

const ResourceManager::ResourceType *ResourceManager::find_type(u64 type) const
{
    return const_cast<ResourceManager *>(this)->find_type(type);
}

bool ResourceManager::register_type(NameId64 type, const ResourceTypeCallbacks &callbacks)
{
    if (find_type(type.value())) {
        log_message("resource", "resource type %016llx registered twice; keeping the first registration", hex(type));
        return false;
    }
    ResourceType record;
    record.type = type.value();
    record.callbacks = callbacks;
    record.loaded = make_new<HashMap<u64, LoadedResource>>(_allocator, _allocator);
    if (!record.loaded || !_types.insert(record.type, record)) {
        delete_with_allocator(_allocator, record.loaded);
        log_message("resource", "out of memory registering resource type %016llx", hex(type));
        return false;
    }
    return true;
}

bool ResourceManager::is_type_registered(NameId64 type) const { return find_type(type.value()) != nullptr; }

u32 ResourceManager::take_stamp() { return _stamp_hook.take ? _stamp_hook.take(_stamp_hook.context) : 0; }

void ResourceManager::release_stamp(u32 stamp)
{
    if (stamp && _stamp_hook.release)
        _stamp_hook.release(_stamp_hook.context, stamp);
}

bool ResourceManager::enqueue(const ResourceRequest &request)
{
    const bool queued = _pending->push(request);
    feed();
    return queued;
}

bool ResourceManager::load(NameId64 type, NameId64 name, Bundle *bundle, Allocator &allocator)
{
    ResourceType *t = find_type(type.value());
    if (!t) {
        log_message("resource", "cannot load %016llx (type %016llx): resource type not registered", hex(name),
                    hex(type));
        if (bundle) {
            // The bundle is read in request order: its record must still be passed over.
            ResourceRequest skip;
            skip.kind = ResourceRequestKind::Load;
            skip.id = {type, name};
            skip.bundle = bundle;
            skip.allocator = &allocator;
            skip.request_id = _next_request_id;
            skip.cancelled = true;
            enqueue(skip);
        }
        return false;
    }
    ResourceRequest request;
    request.kind = ResourceRequestKind::Load;
    request.id = {type, name};
    request.bundle = bundle;
    request.allocator = &allocator;
    request.stamp = take_stamp();
    request.load = t->callbacks.load;
    request.userdata = t->callbacks.userdata;
    request.request_id = _next_request_id;
    if (!enqueue(request)) {
        // Nothing will hand this load in: no reference is taken and the stamp goes back.
        release_stamp(request.stamp);
        return false;
    }
    return true;
}

u32 ResourceManager::new_request_id()
{
    // A batch's end is not queued: feed sends it once the batch is closed and its loads
    // are all at the loader, so closing a batch never needs memory and cannot be lost.
    u32 id = _next_request_id++;
    feed();
    return id;
}

bool ResourceManager::is_request_done(u32 request_id) const { return request_id < _completed_request_id; }

bool ResourceManager::cancel(NameId64 type, NameId64 name, u32 request_id)
{
    for (u32 i = 0; i < _pending->count(); ++i) {
        ResourceRequest &r = _pending->at(i);
        if (r.kind == ResourceRequestKind::Load && r.id.type == type && r.id.name == name &&
            r.request_id == request_id && !r.cancelled) {
            r.cancelled = true;
            return !r.already_loaded;
        }
    }
    return _loader.cancel_request(type, name, request_id);
}

void ResourceManager::feed()
{
    // Only the batch whose end is the next to complete goes to the loader: a later batch
    // must see the hand-ins of this one to know what is already loaded. Its end follows
    // its last load once the batch is closed.
    while (_batch_ends_fed == _completed_request_id) {
        if (!_pending->empty() && _pending->front().request_id == _completed_request_id) {
            ResourceRequest request = _pending->pop_front();
            if (request.kind == ResourceRequestKind::Load && !request.cancelled &&
                can_get(request.id.type, request.id.name)) {
                request.already_loaded = true;
                ResourceType *t = find_type(request.id.type.value());
                t->loaded->value(t->loaded->find(request.id.name.value())).references += request.references;
            }
            _loader.add_request(request);
        } else if (_completed_request_id < _next_request_id) {
            ResourceRequest end;
            end.kind = ResourceRequestKind::BatchEnd;
            end.request_id = _completed_request_id;
            ++_batch_ends_fed;
            _loader.add_request(end);
        } else {
            return;
        }
    }
}

void ResourceManager::hand_in(ResourceRequest &request)
{
    if (request.kind == ResourceRequestKind::BatchEnd) {
        ++_completed_request_id;
        return;
    }
    release_stamp(request.stamp);
    if (request.cancelled || request.already_loaded)
        return;
    ResourceType *t = find_type(request.id.type.value());
    u32 i = t->loaded->find_or_insert(request.id.name.value());
    if (i == HashMap<u64, LoadedResource>::no_entry) {
        log_message("resource", "out of memory storing %016llx (type %016llx); dropping it", hex(request.id.name),
                    hex(request.id.type));
        if (request.result)
            free_with(*t, request.result, *request.allocator);
        return;
    }
    LoadedResource &entry = t->loaded->value(i);
    entry.references += request.references;
    if (!request.result)
        return; // a failed load: a reference without data, balanced by its unload
    if (entry.data) {
        // The same resource was read twice (twice in one batch, or again before the first
        // read was handed in): the first copy stays and the second is freed.
        free_with(*t, request.result, *request.allocator);
        return;
    }
    entry.data = request.result;
    entry.allocator = request.allocator;
    if (t->callbacks.bring_in)
        t->callbacks.bring_in(t->callbacks.userdata, entry.data);
}

void ResourceManager::update()
{
    ResourceRequest request;
    while (_loader.poll_completed(request)) {
        hand_in(request);
        feed();
    }
}

void ResourceManager::flush()
{
    feed();
    ResourceRequest request;
    while (_loader.wait_completed(request)) {
        hand_in(request);
        feed();
    }
}

void ResourceManager::flush_until(u32 request_id)
{
    if (request_id >= _next_request_id) {
        log_message("resource", "flush of request %u, which was never issued; ignored", request_id);
        return;
    }
    ResourceRequest request;
    while (!is_request_done(request_id)) {
        feed();
        if (!_loader.wait_completed(request))
            break; // nothing left at the loader: cannot happen while the id is pending
        hand_in(request);
    }
    feed();
}

bool ResourceManager::can_get(NameId64 type, NameId64 name) const { return get(type, name) != nullptr; }

void *ResourceManager::get(NameId64 type, NameId64 name) const
{
    const ResourceType *t = find_type(type.value());
    if (!t)
        return nullptr;
    u32 i = t->loaded->find(name.value());
    return i == HashMap<u64, LoadedResource>::no_entry ? nullptr : t->loaded->value(i).data;
}

i32 ResourceManager::reference_count(NameId64 type, NameId64 name) const
{
    const ResourceType *t = find_type(type.value());
    if (!t)
        return 0;
    u32 i = t->loaded->find(name.value());
    return i == HashMap<u64, LoadedResource>::no_entry ? 0 : t->loaded->value(i).references;
}

void ResourceManager::free_with(ResourceType &type, void *data, Allocator &allocator)
{
    if (!data)
        return;
    if (_free_hook.before_free)
        _free_hook.before_free(_free_hook.context);
    if (type.callbacks.unload) {
        u32 stamp = take_stamp();
        type.callbacks.unload(
            ResourceUnloadParams{type.callbacks.userdata, NameId64::from_value(type.type), data, allocator, stamp});
        release_stamp(stamp);
    } else {
        allocator.deallocate(data);
    }
}

void ResourceManager::drop_reference(ResourceType &t, u64 name, Allocator &allocator, bool holder)
{
    LoadedResource &entry = t.loaded->value(t.loaded->find(name));
    if (holder)
        --entry.holders;
    else if (entry.references == entry.holders && entry.holders > 0) {
        // More unloads than loads: the holders' references are not the package's to drop.
        log_message("resource", "unload of %016llx (type %016llx), which only its holders hold; ignored",
                    (unsigned long long)name, (unsigned long long)t.type);
        return;
    }
    if (--entry.references > 0) {
        if (!holder && entry.references == entry.holders)
            entry.unloaded = true;
        return;
    }
    void *data = entry.data;
    const bool was_held = holder && entry.unloaded;
    t.loaded->erase(name);
    if (!data)
        return;
    if (was_held)
        log_message("resource", "resource %016llx (type %016llx) freed at its last holder's release (it was unloaded "
                                "while held)",
                    (unsigned long long)name, (unsigned long long)t.type);
    if (t.callbacks.bring_out)
        t.callbacks.bring_out(t.callbacks.userdata, data);
    free_with(t, data, allocator);
}

void ResourceManager::unload(NameId64 type, NameId64 name, Allocator &allocator)
{
    ResourceType *t = find_type(type.value());
    u32 i = t ? t->loaded->find(name.value()) : HashMap<u64, LoadedResource>::no_entry;
    if (i == HashMap<u64, LoadedResource>::no_entry) {
        log_message("resource", "unload of %016llx (type %016llx), which is not loaded; ignored", hex(name), hex(type));
        return;
    }
    drop_reference(*t, name.value(), allocator, false);
}

void *ResourceManager::acquire(NameId64 type, NameId64 name)
{
    ResourceType *t = find_type(type.value());
    u32 i = t ? t->loaded->find(name.value()) : HashMap<u64, LoadedResource>::no_entry;
    if (i == HashMap<u64, LoadedResource>::no_entry || !t->loaded->value(i).data)
        return nullptr;
    LoadedResource &entry = t->loaded->value(i);
    ++entry.references;
    ++entry.holders;
    return entry.data;
}

void ResourceManager::release(NameId64 type, NameId64 name, const void *data)
{
    if (!data || _shutting_down)
        return;
    ResourceType *t = find_type(type.value());
    u32 i = t ? t->loaded->find(name.value()) : HashMap<u64, LoadedResource>::no_entry;
    if (i != HashMap<u64, LoadedResource>::no_entry && t->loaded->value(i).data == data &&
        t->loaded->value(i).holders > 0) {
        Allocator *allocator = t->loaded->value(i).allocator;
        drop_reference(*t, name.value(), allocator ? *allocator : _allocator, true);
        return;
    }
    for (u32 r = 0; r < _retired.size(); ++r)
        if (_retired[r].data == data && _retired[r].type == type.value() && _retired[r].holders > 0) {
            if (--_retired[r].holders == 0 && _retired[r].reload_done)
                free_retired(r);
            return;
        }
    log_message("resource", "release of %016llx (type %016llx) by something that does not hold it; ignored", hex(name),
                hex(type));
}

i32 ResourceManager::holder_count(NameId64 type, NameId64 name) const
{
    const ResourceType *t = find_type(type.value());
    if (!t)
        return 0;
    u32 i = t->loaded->find(name.value());
    return i == HashMap<u64, LoadedResource>::no_entry ? 0 : t->loaded->value(i).holders;
}

void ResourceManager::free_retired(u32 index)
{
    RetiredData r = _retired[index];
    _retired[index] = _retired.back();
    _retired.pop_back();
    ResourceType *t = find_type(r.type);
    if (!t)
        return;
    log_message("resource", "resource %016llx (type %016llx): the data a reload replaced is freed at its last holder's "
                            "release",
                (unsigned long long)r.name, (unsigned long long)r.type);
    free_with(*t, r.data, *r.allocator);
}

void *ResourceManager::reload(NameId64 type, NameId64 name, Allocator &allocator)
{
    if (!_loader.has_database()) {
        log_message("resource",
                    "cannot reload %016llx (type %016llx): resources come from bundles, which are read once", hex(name),
                    hex(type));
        return nullptr;
    }
    ResourceType *t = find_type(type.value());
    u32 i = t ? t->loaded->find(name.value()) : HashMap<u64, LoadedResource>::no_entry;
    if (i == HashMap<u64, LoadedResource>::no_entry)
        return nullptr;
    LoadedResource entry = t->loaded->value(i);
    const i32 loads = entry.references - entry.holders;
    if (loads <= 0) {
        log_message("resource", "cannot reload %016llx (type %016llx): no package loads it any more (only its holders "
                                "keep it)",
                    hex(name), hex(type));
        return nullptr;
    }
    // The holders keep the old data: it waits among the retired until they and the
    // reload's caller have let go.
    if (entry.data) {
        if (!_retired.push_back(RetiredData{type.value(), name.value(), entry.data,
                                            entry.allocator ? entry.allocator : &allocator, entry.holders, false})) {
            log_message("resource", "cannot reload %016llx (type %016llx): out of memory", hex(name), hex(type));
            return nullptr;
        }
    }
    // One read carries every reference the loads held: reading it once per reference
    // would leak all copies but one and reset the count to 1.
    ResourceRequest request;
    request.kind = ResourceRequestKind::Load;
    request.id = {type, name};
    request.allocator = &allocator;
    request.stamp = take_stamp();
    request.load = t->callbacks.load;
    request.userdata = t->callbacks.userdata;
    request.references = loads;
    request.request_id = _next_request_id;
    if (!_pending->push(request)) {
        // The read cannot be queued: the entry stays as it was, old data and all.
        release_stamp(request.stamp);
        if (entry.data)
            _retired.pop_back();
        return nullptr;
    }
    // Out of the table before the request is fed, or it would count as loaded already.
    t->loaded->erase(name.value());
    feed();
    return entry.data;
}

void ResourceManager::free_data(NameId64 type, void *data, Allocator &allocator)
{
    ResourceType *t = find_type(type.value());
    if (!t || !data)
        return;
    for (u32 r = 0; r < _retired.size(); ++r)
        if (_retired[r].data == data && _retired[r].type == type.value() && !_retired[r].reload_done) {
            if (_retired[r].holders > 0) {
                _retired[r].reload_done = true; // the last holder's release frees it
                return;
            }
            RetiredData gone = _retired[r];
            _retired[r] = _retired.back();
            _retired.pop_back();
            free_with(*t, gone.data, *gone.allocator);
            return;
        }
    free_with(*t, data, allocator);
}

void ResourceManager::resolve(NameId64 type, NameId64 name)
{
    ResourceType *t = find_type(type.value());
    if (!t || !t->callbacks.resolve)
        return;
    void *data = get(type, name);
    if (data)
        t->callbacks.resolve(t->callbacks.userdata, data, *this);
}

u32 ResourceManager::outstanding_requests() const
{
    // Closed batches whose end is not at the loader yet count as one request each.
    return _pending->count() + (_next_request_id - _batch_ends_fed) + _loader.outstanding();
}

u32 ResourceManager::loaded_count() const
{
    u32 n = 0;
    for (const auto &record : _types)
        n += record.value.loaded->size();
    return n;
}

} // namespace tallow
