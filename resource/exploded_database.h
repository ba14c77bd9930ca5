#pragma once
// The loose-file database: "exploded_database.db" in the data directory maps each
// (type, name, property mask) to a numbered loose file holding the resource's bytes
// as they are.
//
// Index file (little-endian): u32 format word (not checked); u32 entry count N;
// N x {u64 type id, u64 name id, u32 property mask, u32 file id}, sorted ascending by
// (type, name, mask, file); u32 property count P; P x u64 property ids (index = bit).
// The resource with file id F is the file "F/100/F" under the data directory: file
// 1234 is "12/1234".
//
//   ExplodedDatabase database(data_directory, allocator);
//   if (!database.is_valid()) ...;           // missing or corrupt: logged, empty
//   database.set_active_properties(order, n);
//   LooseFile file;
//   if (database.read(id, allocator, 16, file)) { ...; allocator.deallocate(file.data); }
//
// Lookups, reads and `set_active_properties` run on the loader thread (before the loader
// starts, the main thread may set the properties); the main thread hands a new order to
// `ResourceLoader::set_property_preference_order`.

#include "foundation/containers/array.h"
#include "foundation/io/disk_file_system.h"
#include "foundation/memory/trace_allocator.h"
#include "resource/resource_id.h"
#include "resource/resource_properties.h"

namespace tallow {

/// The bytes of one loose file, in a block from the allocator given to `read`.
struct LooseFile {
    void *data = nullptr;
    u64 size = 0;
};

class ExplodedDatabase {
  public:
    static constexpr const char *index_file_name = "exploded_database.db";

    /// Reads the index from `data_directory`; a missing or malformed index is logged and
    /// leaves the database empty (`is_valid` false). `parent` backs its allocator.
    ExplodedDatabase(const char *data_directory, Allocator &parent);
    ExplodedDatabase(const ExplodedDatabase &) = delete;
    ExplodedDatabase &operator=(const ExplodedDatabase &) = delete;

    /// Replaces the index with the one in `bytes` (`size` of them); false (logged, the
    /// database left empty) when it is malformed.
    bool parse(const void *bytes, u64 size);
    bool is_valid() const { return _valid; }

    void set_active_properties(const u64 *preference, u32 preference_count);
    /// The file id of the best variant of `id`; false when the database has no entry for
    /// it or no entry qualifies under the preference order.
    bool find(ResourceId id, u32 &out_file_id) const;
    /// Reads the loose file of `id` whole into a block from `allocator` (at least one
    /// byte, aligned to `alignment`). False (logged) when there is no entry or the file
    /// is missing or unreadable.
    bool read(ResourceId id, Allocator &allocator, u32 alignment, LooseFile &out) const;

    /// The loose file name of `file_id` ("12/1234"); `out` holds 24 bytes.
    static void loose_file_name(u32 file_id, char *out);

    u32 entry_count() const { return _entries.size(); }
    const DiskFileSystem &file_system() const { return _file_system; }

  private:
    struct Entry {
        u64 type;
        u64 name;
        u32 mask;
        u32 file_id;
    };

    TraceAllocator _allocator;
    DiskFileSystem _file_system;
    Array<Entry> _entries;
    Array<u64> _property_ids;
    PropertyChoice _choice;
    bool _valid = false;
};

} // namespace tallow
