#pragma once
// One open bundle file: every resource of a package (or of one patch of it) in one
// segment-compressed stream, each resource in one or more variants.
//
// File layout (little-endian): u32 format word (not checked), then a segment-compressed
// stream holding
//   u32 resource count N; 32 x u64 property ids (0 = empty slot; bit k of a variant mask
//   names slot k); N x {u64 type id, u64 name id} in stream order;
//   then per resource, in table order: u64 type id, u64 name id, u32 variant count V,
//   V x {u32 property mask, u32 size}, then the V variants' bytes back to back.
//
//   Bundle bundle(file_system, "0123456789abcdef", allocator);
//   if (!bundle.open(resources)) ...;              // main thread; logged
//   bundle.set_active_properties(order, n);
//   u64 size;                                      // loader thread, in table order:
//   if (bundle.begin_resource(id, size)) { bundle.finish_resource(block); }
//   bundle.skip_resource(next_id);
//   bundle.close();                                // main thread, after the loads
//
// The stream is read front to back once: every resource must be either read
// (begin_resource + finish_resource) or skipped, in table order. Each record's (type,
// name) is checked against the request. Counts and sizes are checked against the
// stream; a truncated or corrupt bundle fails the read that meets it with a logged
// message naming the file, and every later read of this bundle fails at once.

#include "foundation/containers/array.h"
#include "foundation/io/shared_reference.h"
#include "foundation/memory/trace_allocator.h"
#include "resource/resource_id.h"
#include "resource/resource_properties.h"

#include <atomic>

namespace tallow {

class DiskFileSystem;
class InputArchive;
class InputBuffer;
class SegmentCompressedFileInputBuffer;
class ThreadPool;

class Bundle {
  public:
    static constexpr u32 property_slots = 32;
    static constexpr u32 max_file_name_bytes = 63;

    /// Nothing is opened yet. `parent` backs the "bundle" allocator.
    Bundle(const DiskFileSystem &file_system, const char *file_name, Allocator &parent);
    ~Bundle();
    Bundle(const Bundle &) = delete;
    Bundle &operator=(const Bundle &) = delete;

    /// Opens the file and reads the header, appending the resource table to
    /// `out_resources`. False (logged) when the file is missing or its header is bad;
    /// nothing is appended then.
    bool open(Array<ResourceId> &out_resources);
    /// As `open`, reading the bundle's bytes from `file` (any byte source: memory in tests
    /// and fuzzing) rather than from the file system.
    bool open_from(SharedReference<InputBuffer> file, Array<ResourceId> &out_resources);
    /// Segments of bundles opened after this are inflated ahead on `pool` (null: on the
    /// reading thread). The pool must outlive the bundle's streams (until `close`).
    void set_thread_pool(ThreadPool *pool) { _pool = pool; }
    /// Chooses variants by `preference` (property ids, most preferred first).
    void set_active_properties(const u64 *preference, u32 preference_count);

    /// Reads the next record's header, which must be `id`, and moves to the variant the
    /// preference order chooses; `out_size` is its byte count. False (logged, and the
    /// record passed over when possible) when the record is not `id`, no variant
    /// qualifies or the stream is bad. After true, call `finish_resource` next.
    bool begin_resource(ResourceId id, u64 &out_size);
    /// Reads the chosen variant's bytes into `destination` (null: drops them) and moves
    /// past the rest of the record. False (logged) when the stream is cut short; every
    /// copy into `destination` is done then. With a thread pool and `pending`, large
    /// pieces may be copied by pool jobs after this returns true: `pending` counts the
    /// copies not yet done (see SegmentCompressedFileInputBuffer::read_to), and
    /// `settle_copies` waits for them all.
    bool finish_resource(void *destination, std::atomic<u32> *pending = nullptr);
    /// Returns once every copy left to the pool by `finish_resource` is done.
    void settle_copies();
    /// Moves past the next record without reading its data. A record that is not `id`
    /// is logged and passed over all the same.
    bool skip_resource(ResourceId id);
    /// Releases the streams; the tables stay.
    void close();

    const char *file_name() const { return _file_name; }
    bool is_open() const { return _source != nullptr; }
    /// True once a read met a truncated or corrupt stream.
    bool is_broken() const { return _broken; }
    u32 resource_count() const { return _resource_count; }
    const u64 *property_ids() const { return _property_ids; }

  private:
    struct RecordInfo {
        u64 offset = 0; // of the chosen variant, from the start of the record's data
        u64 size = 0;   // of the chosen variant
        u64 total = 0;  // of all the record's data
        bool matches = false;
        bool has_variant = false;
    };
    bool read_record_header(ResourceId id, RecordInfo &out);
    bool read(void *destination, u64 n);
    bool skip(u64 n);
    bool fail(const char *what);
    u64 bytes_left() const;

    TraceAllocator _allocator;
    const DiskFileSystem *_file_system;
    char _file_name[max_file_name_bytes + 1];
    InputArchive *_source = nullptr;      // the raw file
    SharedReference<InputBuffer> _stream; // the decompressed stream over it
    SegmentCompressedFileInputBuffer *_segments = nullptr; // the same stream
    ThreadPool *_pool = nullptr;          // inflates segments ahead when set
    u32 _resource_count = 0;
    u64 _property_ids[property_slots] = {};
    PropertyChoice _choice;
    u64 _chosen_size = 0; // bytes of the variant begin_resource chose
    u64 _rest_after = 0;  // bytes of the record after that variant
    bool _in_record = false;
    bool _broken = false;
};

} // namespace tallow
