#include "resource/resource_package.h"

#include "foundation/io/disk_file_system.h"
#include "foundation/io/input_archive.h"
#include "foundation/log.h"
#include "resource/bundle.h"
#include "resource/resource_loader.h"
#include "resource/resource_manager.h"
#include "resource/resource_properties.h"
#include "resource/resource_types.h"

#include <cstdio>

namespace tallow {

const char *to_string(PackageState state)
{
    switch (state) {
    case PackageState::Created: return "created";
    case PackageState::Loading: return "loading";
    case PackageState::Loaded: return "loaded";
    case PackageState::Flushed: return "flushed";
    case PackageState::Unloaded: return "unloaded";
    }
    return "unknown";
}

ResourcePackagePart::ResourcePackagePart(ResourceManager &manager, Allocator &parent)
    : _allocator("ResourcePackage", parent), _manager(manager), _resources(_allocator), _queued(_allocator)
{
}

ResourcePackagePart::~ResourcePackagePart()
{
    if (_state == PackageState::Loading || _state == PackageState::Loaded || _state == PackageState::Flushed)
        unload();
    delete_with_allocator(_allocator, _bundle);
    _resources.set_capacity(0);
    _queued.set_capacity(0);
}

void ResourcePackagePart::add_resource(ResourceId id) { _resources.push_back(id); }

bool ResourcePackagePart::open_bundle(const DiskFileSystem &file_system, const char *file_name, const u64 *preference,
                                      u32 preference_count)
{
    if (_bundle) {
        log_message("resource", "package part already has bundle '%s'; '%s' not added", _bundle->file_name(),
                    file_name);
        return false;
    }
    _bundle = make_new<Bundle>(_allocator, file_system, file_name, _allocator);
    if (!_bundle)
        return false;
    _bundle->set_thread_pool(_manager.loader().thread_pool());
    if (!_bundle->open(_resources)) {
        delete_with_allocator(_allocator, _bundle);
        _bundle = nullptr;
        return false;
    }
    _bundle->set_active_properties(preference, preference_count);
    return true;
}

u32 ResourcePackagePart::load()
{
    if (_state != PackageState::Created) {
        log_message("resource", "package part loaded again in state %s; ignored", to_string(_state));
        return _request_id;
    }
    _queued.resize(_resources.size());
    for (u32 i = 0; i < _resources.size(); ++i) {
        const ResourceId &id = _resources[i];
        // A resource of an unknown type is logged (and its bundle record skipped) by the
        // manager; it holds no reference to drop.
        bool queued = _manager.load(id.type, id.name, _bundle, _manager.allocator());
        if (i < _queued.size())
            _queued[i] = queued ? 1 : 0;
    }
    _request_id = _manager.new_request_id();
    _state = PackageState::Loading;
    return _request_id;
}

bool ResourcePackagePart::is_loaded()
{
    if (_state == PackageState::Loaded || _state == PackageState::Flushed)
        return true;
    // Created and Unloaded are never "loaded": an unloaded part must not become flushable.
    if (_state != PackageState::Loading)
        return false;
    _manager.update();
    if (!_manager.is_request_done(_request_id))
        return false;
    _state = PackageState::Loaded;
    return true;
}

void ResourcePackagePart::flush()
{
    if (_state == PackageState::Created) {
        log_message("resource", "flush of a package that was never loaded; ignored");
        return;
    }
    if (_state != PackageState::Loading && _state != PackageState::Loaded)
        return;
    _manager.flush_until(_request_id);
    for (const ResourceId &id : _resources)
        _manager.resolve(id.type, id.name);
    _state = PackageState::Flushed;
    if (_bundle)
        _bundle->close();
}

void ResourcePackagePart::unload()
{
    if (_state == PackageState::Created || _state == PackageState::Unloaded) {
        log_message("resource", "unload of a package part in state %s; ignored", to_string(_state));
        return;
    }
    // After this, _queued[i] is 1 for every resource that holds a reference to drop.
    if (_state == PackageState::Loading || _state == PackageState::Loaded) {
        for (u32 i = 0; i < _resources.size() && i < _queued.size(); ++i)
            if (_queued[i] && _manager.cancel(_resources[i].type, _resources[i].name, _request_id))
                _queued[i] = 0;
        // Cancelled loads still pass the loader, which moves the bundle past them.
        _manager.flush_until(_request_id);
        if (_bundle)
            _bundle->close();
    }
    for (u32 i = 0; i < _resources.size() && i < _queued.size(); ++i)
        if (_queued[i])
            _manager.unload(_resources[i].type, _resources[i].name, _manager.allocator());
    _state = PackageState::Unloaded;
}

ResourcePackage::ResourcePackage(Allocator &parent, ResourceManager &manager)
    : _allocator("ResourcePackage", parent), _manager(manager), _parts(_allocator)
{
}

ResourcePackage::~ResourcePackage()
{
    for (ResourcePackagePart *part : _parts)
        delete_with_allocator(_allocator, part);
    _parts.set_capacity(0);
}

ResourcePackagePart *ResourcePackage::new_part()
{
    ResourcePackagePart *part = make_new<ResourcePackagePart>(_allocator, _manager, _allocator);
    if (part && !_parts.push_back(part)) {
        delete_with_allocator(_allocator, part);
        return nullptr;
    }
    return part;
}

bool ResourcePackage::add_bundle(const DiskFileSystem &file_system, NameId64 name, const u64 *preference,
                                 u32 preference_count)
{
    char base_name[17];
    hex64(name.value(), base_name);
    ResourcePackagePart *base = make_new<ResourcePackagePart>(_allocator, _manager, _allocator);
    if (!base)
        return false;
    if (!base->open_bundle(file_system, base_name, preference, preference_count)) {
        delete_with_allocator(_allocator, base);
        return false;
    }
    u32 first_patch = _parts.size();
    for (u32 i = 0;; ++i) {
        char patch_name[40];
        snprintf(patch_name, sizeof(patch_name), "%s.patch_%u", base_name, i);
        if (!file_system.exists(patch_name))
            break; // a missing number ends the patches
        ResourcePackagePart *patch = make_new<ResourcePackagePart>(_allocator, _manager, _allocator);
        if (!patch)
            break;
        if (!patch->open_bundle(file_system, patch_name, preference, preference_count)) {
            delete_with_allocator(_allocator, patch);
            continue; // logged; the remaining patches still apply
        }
        _parts.insert(first_patch, patch); // newest first
    }
    _parts.push_back(base);
    return true;
}

void ResourcePackage::load()
{
    for (ResourcePackagePart *part : _parts)
        part->load();
}

bool ResourcePackage::has_loaded()
{
    if (_parts.empty())
        return false;
    for (ResourcePackagePart *part : _parts)
        if (!part->is_loaded())
            return false;
    return true;
}

void ResourcePackage::flush()
{
    for (ResourcePackagePart *part : _parts)
        part->flush();
}

void ResourcePackage::unload()
{
    for (ResourcePackagePart *part : _parts)
        part->unload();
}

void ResourcePackage::reload(NameId64 type, NameId64 name, Array<ReloadedResource> &collected)
{
    if (_parts.empty() || _parts.back()->state() != PackageState::Flushed)
        return;
    for (ResourcePackagePart *part : _parts) {
        for (const ResourceId &id : part->resources()) {
            if (id.type != type || (!name.is_empty() && id.name != name))
                continue;
            void *old_data = _manager.reload(id.type, id.name, _manager.allocator());
            if (old_data)
                collected.push_back(ReloadedResource{id, old_data, part});
        }
        _manager.flush();
        for (const ResourceId &id : part->resources())
            _manager.resolve(id.type, id.name);
    }
}

void ResourcePackage::free_reloaded_data(Array<ReloadedResource> &collected)
{
    for (ResourcePackagePart *part : _parts)
        for (ReloadedResource &r : collected)
            if (r.part == part && r.old_data) {
                _manager.free_data(r.id.type, r.old_data, _manager.allocator());
                r.old_data = nullptr;
                r.part = nullptr;
            }
}

ResourcePackage *create_resource_package(Allocator &allocator, ResourceManager &manager,
                                         const DiskFileSystem *bundle_files, NameId64 name, const u64 *preference,
                                         u32 preference_count)
{
    ResourcePackage *package = make_new<ResourcePackage>(allocator, allocator, manager);
    if (!package)
        return nullptr;
    if (bundle_files) {
        if (package->add_bundle(*bundle_files, name, preference, preference_count))
            return package;
    } else {
        manager.load(package_type, name, nullptr, manager.allocator());
        manager.flush();
        auto *listing = static_cast<const Array<ResourceId> *>(manager.get(package_type, name));
        ResourcePackagePart *part = listing ? package->new_part() : nullptr;
        if (part)
            for (const ResourceId &id : *listing)
                part->add_resource(id);
        manager.unload(package_type, name, manager.allocator());
        if (part)
            return package;
    }
    log_message("resource", "package %016llx cannot be made: it is not in the %s", hex(name),
                bundle_files ? "bundle directory" : "loose-file database");
    delete_with_allocator(allocator, package);
    return nullptr;
}

} // namespace tallow
