#pragma once
// Writers of the compiled resource sources: bundles (and their patches, which are
// bundles too), the loose-file database with its loose files, and "package" resources.
// The data build tool and the tests build their inputs with these, never by hand.
//
//   BundleWriter bundle(allocator);
//   bundle.add_property(NameId64("high"));
//   bundle.add_resource({NameId64("lua"), NameId64("boot")}, bytes, size);       // mask 0
//   bundle.add_variant({NameId64("data"), NameId64("x")}, 1u << 0, hi, hi_size); // "high"
//   bundle.write_file(file_system, "0123456789abcdef");
//
//   DatabaseWriter database(allocator);
//   database.add_resource(id, bytes, size);
//   database.write(file_system);   // "exploded_database.db" and the numbered loose files
//
// Variants of one resource are added one after the other; resources keep the order in
// which they were first added. Not thread-safe; failures return false (logged).

#include "foundation/containers/array.h"
#include "resource/resource_id.h"

namespace tallow {

class DiskFileSystem;
class OutputArchive;

/// The format word the writers put first in a bundle and a database index.
constexpr u32 resource_format_word = 1;

/// Writes `size` bytes at `data` to `name` in `file_system`, replacing the file.
bool write_file_bytes(const DiskFileSystem &file_system, const char *name, const void *data, u64 size);

/// Compresses `payload` into the segment-compressed stream format, prefixed by
/// `format_word`: the bytes of a bundle file.
bool compress_bundle_payload(const Array<u8> &payload, u32 format_word, Array<u8> &out_file);

class BundleWriter {
  public:
    explicit BundleWriter(Allocator &allocator);

    /// Appends a property id; its slot (0 to 31) is the bit variant masks use. False when
    /// all 32 slots are taken.
    bool add_property(NameId64 property);
    /// Adds a variant of `id` with `mask` (a new resource when `id` is new).
    void add_variant(ResourceId id, u32 mask, const void *data, u64 size);
    /// Adds `id` with one variant of mask 0.
    void add_resource(ResourceId id, const void *data, u64 size) { add_variant(id, 0, data, size); }

    /// The uncompressed stream: header, resource table and records.
    void build_payload(Array<u8> &out) const;
    /// The whole file's bytes.
    bool build_file(Array<u8> &out) const;
    bool write_file(const DiskFileSystem &file_system, const char *name) const;

    u32 resource_count() const { return _resources.size(); }

  private:
    void write_payload(OutputArchive &out) const;
    bool write_compressed(OutputArchive &file) const;

    struct Variant {
        u32 resource; // index in _resources
        u32 mask;
        u64 offset; // in _bytes
        u64 size;
    };

    Allocator &_allocator;
    Array<u64> _properties;
    Array<ResourceId> _resources;
    Array<Variant> _variants;
    Array<u8> _bytes;
};

class DatabaseWriter {
  public:
    explicit DatabaseWriter(Allocator &allocator);

    /// Appends a property id; its index is the bit variant masks use.
    bool add_property(NameId64 property);
    /// Adds a variant of `id` with `mask`; it gets the next file id (first 1).
    void add_variant(ResourceId id, u32 mask, const void *data, u64 size);
    void add_resource(ResourceId id, const void *data, u64 size) { add_variant(id, 0, data, size); }

    /// The bytes of "exploded_database.db".
    void build_index(Array<u8> &out) const;
    /// Writes the index and every loose file (creating their folders).
    bool write(const DiskFileSystem &file_system) const;

  private:
    struct Entry {
        ResourceId id;
        u32 mask;
        u32 file_id;
        u64 offset; // in _bytes
        u64 size;
    };

    Allocator &_allocator;
    Array<u64> _properties;
    Array<Entry> _entries;
    Array<u8> _bytes;
};

/// The bytes of a "package" resource listing `count` resources.
void build_package_resource(const ResourceId *resources, u32 count, Array<u8> &out);

/// Little-endian appenders for building resource bytes.
void append_u32(Array<u8> &out, u32 value);
void append_u64(Array<u8> &out, u64 value);
void append_bytes(Array<u8> &out, const void *data, u64 size);

} // namespace tallow
