#pragma once
// A resource package: the unit in which the game loads and unloads content. A package is
// a list of parts: with bundles, one part per bundle file (the newest patch first, the
// base bundle last); with the loose-file database, one part built from the "package"
// resource.
//
//   ResourcePackage *package = make_new<ResourcePackage>(allocator, allocator, manager);
//   package->add_bundle(bundle_files, NameId64("boot"), order.data(), order.size());
//   package->load();
//   while (!package->has_loaded()) { ... frames ... }   // or flush() at once
//   package->flush();                                   // resources usable now
//   ...
//   package->unload();
//   delete_with_allocator(allocator, package);
//
// A part's resources are requested in its bundle's table order, so the loader reads
// each bundle front to back once. A patch that holds a resource shadows the base: the
// patch's copy is loaded first and the base's record is skipped. Unloading while loading
// cancels what has not been read and unloads what has. Main thread only.

#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "resource/resource_id.h"

namespace tallow {

class Bundle;
class ResourceManager;
class DiskFileSystem;
class ResourcePackagePart;

enum class PackageState : u32 { Created = 0, Loading = 1, Loaded = 2, Flushed = 3, Unloaded = 4 };
const char *to_string(PackageState state);

/// One resource whose data a reload replaced: the old data waits here until the
/// systems holding it have let go, then `free_reloaded_data` frees it.
struct ReloadedResource {
    ResourceId id;
    void *old_data = nullptr;
    ResourcePackagePart *part = nullptr;
};

class ResourcePackagePart {
  public:
    ResourcePackagePart(ResourceManager &manager, Allocator &parent);
    /// Unloads a part still loaded or loading, then frees the bundle.
    ~ResourcePackagePart();
    ResourcePackagePart(const ResourcePackagePart &) = delete;
    ResourcePackagePart &operator=(const ResourcePackagePart &) = delete;

    void add_resource(ResourceId id);
    /// Opens `file_name` as this part's bundle and takes its resource table. False
    /// (logged) when the bundle cannot be opened; the part then holds nothing.
    bool open_bundle(const DiskFileSystem &file_system, const char *file_name, const u64 *preference,
                     u32 preference_count);

    /// Queues every resource and returns the batch id. Only from Created (else logged).
    u32 load();
    /// True once every load of the part has been read (runs the manager's update).
    bool is_loaded();
    /// Waits for the part's loads, hands them in and resolves them; closes the bundle.
    void flush();
    /// Drops the part's references; cancels what has not been read when still loading.
    void unload();

    PackageState state() const { return _state; }
    const Array<ResourceId> &resources() const { return _resources; }
    Bundle *bundle() const { return _bundle; }

  private:
    TraceAllocator _allocator;
    ResourceManager &_manager;
    PackageState _state = PackageState::Created;
    u32 _request_id = 0xFFFFFFFFu; // batch id once loading
    Array<ResourceId> _resources;  // in read order
    Array<u8> _queued;             // per resource: 1 when load() queued it (its type is known)
    Bundle *_bundle = nullptr;     // null with the loose-file database
};

class ResourcePackage {
  public:
    /// `parent` backs the package's allocator; `manager` must outlive the package.
    ResourcePackage(Allocator &parent, ResourceManager &manager);
    /// Destroys every part (unloading those still loaded).
    ~ResourcePackage();
    ResourcePackage(const ResourcePackage &) = delete;
    ResourcePackage &operator=(const ResourcePackage &) = delete;

    /// Appends an empty part (for the loose-file database); null when out of memory.
    ResourcePackagePart *new_part();
    /// Adds the bundle named by the 16 hex digits of `name` and its patches
    /// "<name>.patch_0", "<name>.patch_1", ... up to the first missing number, newest
    /// patch first. False (logged) when the base bundle cannot be opened.
    bool add_bundle(const DiskFileSystem &file_system, NameId64 name, const u64 *preference, u32 preference_count);

    void load();
    /// True when every part has been read (false for a package never loaded).
    bool has_loaded();
    void flush();
    void unload();

    /// Re-reads `type` resources named `name` (any name for the empty id) of every
    /// flushed part from the loose-file database, appending their old data to `collected`.
    void reload(NameId64 type, NameId64 name, Array<ReloadedResource> &collected);
    /// Frees the old data that `reload` collected for this package's parts.
    void free_reloaded_data(Array<ReloadedResource> &collected);

    u32 part_count() const { return _parts.size(); }
    ResourcePackagePart &part(u32 i) { return *_parts[i]; }
    TraceAllocator &allocator() { return _allocator; }

  private:
    TraceAllocator _allocator;
    ResourceManager &_manager;
    Array<ResourcePackagePart *> _parts; // lookup order: newest patch first, base last
};

/// Makes the package `name` from the resource source, not yet loaded: with
/// `bundle_files`, its bundle and patches there; otherwise one part listing what its
/// "package" resource in the loose-file database names (the resource is loaded, read and
/// unloaded here, so this waits for the loader). Null (logged) when the package cannot
/// be found. Free it with delete_with_allocator(allocator, package).
ResourcePackage *create_resource_package(Allocator &allocator, ResourceManager &manager,
                                         const DiskFileSystem *bundle_files, NameId64 name, const u64 *preference,
                                         u32 preference_count);

} // namespace tallow
