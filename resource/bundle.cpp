#include "resource/bundle.h"

#include "foundation/io/compressed_buffer.h"
#include "foundation/io/disk_file_system.h"
#include "foundation/io/input_archive.h"
#include "foundation/log.h"
#include "resource/byte_reader.h"

#include <cstring>

namespace tallow {

namespace {

// Size of the header before the resource table: count and the property slots.
constexpr u64 header_bytes = 4 + Bundle::property_slots * 8;
constexpr u64 table_entry_bytes = 16;
constexpr u64 record_header_bytes = 8 + 8 + 4;
constexpr u64 variant_header_bytes = 8;

} // namespace

Bundle::Bundle(const DiskFileSystem &file_system, const char *file_name, Allocator &parent)
    : _allocator("bundle", parent), _file_system(&file_system), _choice(_allocator)
{
    u64 n = file_name ? strlen(file_name) : 0;
    if (n > max_file_name_bytes) {
        log_message("resource", "bundle file name '%s' is longer than %u bytes; it cannot be opened", file_name,
                    max_file_name_bytes);
        n = 0;
    }
    memcpy(_file_name, file_name, n);
    _file_name[n] = 0;
}

Bundle::~Bundle() { close(); }

void Bundle::close()
{
    _stream.release();
    _segments = nullptr;
    delete_with_allocator(_allocator, _source);
    _source = nullptr;
    _in_record = false;
}

bool Bundle::fail(const char *what)
{
    if (!_broken)
        log_message("resource", "bundle '%s' is unusable: %s", _file_name, what);
    _broken = true;
    _in_record = false;
    return false;
}

u64 Bundle::bytes_left() const { return _stream ? _stream->size() - _stream->position() : 0; }

bool Bundle::read(void *destination, u64 n)
{
    // Straight from the decompressed window: the stream is only ever read forward.
    InputBuffer &stream = *_stream;
    u8 *out = static_cast<u8 *>(destination);
    while (n) {
        if (stream.bytes_left() == 0) {
            stream.refill();
            if (stream.bytes_left() == 0)
                return false; // the end, or a segment that failed (the buffer logged which)
        }
        u32 take = stream.bytes_left() < n ? stream.bytes_left() : u32(n);
        if (out) {
            memcpy(out, stream.cursor(), take);
            out += take;
        }
        stream.consume(take);
        n -= take;
    }
    return true;
}

bool Bundle::skip(u64 n) { return read(nullptr, n); }

bool Bundle::open(Array<ResourceId> &out_resources)
{
    close();
    _broken = false;
    if (!_file_name[0])
        return fail("no file name");
    if (!_file_system->exists(_file_name)) {
        log_message("resource", "bundle '%s' is not in '%s'", _file_name, _file_system->root());
        return false;
    }
    SharedReference<InputBuffer> file = _file_system->open_input(_file_name, _allocator, true);
    if (!file) {
        log_message("resource", "bundle '%s' cannot be opened", _file_name);
        return false;
    }
    return open_from(file, out_resources);
}

bool Bundle::open_from(SharedReference<InputBuffer> file, Array<ResourceId> &out_resources)
{
    close();
    _broken = false;
    if (!file)
        return fail("no bytes to read");
    _source = make_new<InputArchive>(_allocator, file);
    if (!_source)
        return fail("out of memory");
    u32 format_word = 0;
    if (!_source->read(format_word)) {
        close();
        return fail("the file is shorter than its format word");
    }
    SharedReference<SegmentCompressedFileInputBuffer> segments =
        make_segment_compressed_input_buffer(_allocator, *_source, _pool);
    _segments = segments.get();
    _stream = segments;
    if (!_stream || _stream->has_failed()) {
        close();
        return fail("its compressed stream has a bad header");
    }

    u8 header[header_bytes];
    if (!read(header, header_bytes)) {
        close();
        return fail("the header is cut short");
    }
    _resource_count = load_u32_le(header);
    for (u32 k = 0; k < property_slots; ++k)
        _property_ids[k] = load_u64_le(header + 4 + k * 8);
    // Each resource takes a table entry and at least one record header.
    if (u64(_resource_count) * (table_entry_bytes + record_header_bytes) > bytes_left()) {
        close();
        return fail("its resource count is larger than the file can hold");
    }
    u32 first = out_resources.size();
    for (u32 i = 0; i < _resource_count; ++i) {
        u8 entry[table_entry_bytes];
        if (!read(entry, sizeof(entry))) {
            out_resources.resize(first);
            close();
            return fail("the resource table is cut short");
        }
        ResourceId id{NameId64::from_value(load_u64_le(entry)), NameId64::from_value(load_u64_le(entry + 8))};
        if (!out_resources.push_back(id)) {
            out_resources.resize(first);
            close();
            return fail("out of memory for the resource table");
        }
    }
    return true;
}

void Bundle::set_active_properties(const u64 *preference, u32 preference_count)
{
    _choice.set_active(_property_ids, property_slots, preference, preference_count);
}

bool Bundle::read_record_header(ResourceId id, RecordInfo &out)
{
    out = RecordInfo{};
    if (_broken)
        return false;
    if (!_stream)
        return fail("read before open or after close");
    if (_in_record)
        return fail("a resource was begun and not finished");
    u8 header[record_header_bytes];
    if (!read(header, sizeof(header)))
        return fail("a resource record is cut short");
    u64 type = load_u64_le(header);
    u64 name = load_u64_le(header + 8);
    u32 variants = load_u32_le(header + 16);
    if (u64(variants) * variant_header_bytes > bytes_left())
        return fail("a variant count is larger than the file can hold");
    out.matches = type == id.type.value() && name == id.name.value();
    i64 best = variant_unqualified;
    for (u32 v = 0; v < variants; ++v) {
        u8 variant[variant_header_bytes];
        if (!read(variant, sizeof(variant)))
            return fail("a variant table is cut short");
        u32 mask = load_u32_le(variant);
        u32 size = load_u32_le(variant + 4);
        // Ties keep the earlier variant: only a strictly better score replaces it.
        i64 score = _choice.score(mask);
        if (score > best) {
            best = score;
            out.has_variant = true;
            out.offset = out.total;
            out.size = size;
        }
        out.total += size;
    }
    if (out.total > bytes_left())
        return fail("a resource's sizes add up to more than the file holds");
    return true;
}

bool Bundle::begin_resource(ResourceId id, u64 &out_size)
{
    out_size = 0;
    RecordInfo record;
    if (!read_record_header(id, record)) {
        log_message("resource", "resource %016llx (type %016llx) not loaded: bundle '%s' is unusable", hex(id.name),
                    hex(id.type), _file_name);
        return false;
    }
    if (!record.matches || !record.has_variant) {
        if (!record.matches)
            log_message("resource",
                        "bundle '%s' holds another resource where %016llx (type %016llx) was expected; skipped",
                        _file_name, hex(id.name), hex(id.type));
        else
            log_message("resource",
                        "bundle '%s' has no variant of %016llx (type %016llx) for the property preference order",
                        _file_name, hex(id.name), hex(id.type));
        if (!skip(record.total))
            fail("a resource record is cut short");
        return false;
    }
    if (!skip(record.offset))
        return fail("a resource record is cut short");
    _chosen_size = record.size;
    _rest_after = record.total - record.offset - record.size;
    _in_record = true;
    out_size = record.size;
    return true;
}

bool Bundle::finish_resource(void *destination, std::atomic<u32> *pending)
{
    if (!_in_record)
        return fail("finish_resource without begin_resource");
    _in_record = false;
    bool read_all = pending && destination ? _segments->read_to(destination, _chosen_size, pending)
                                           : read(destination, _chosen_size);
    if (!read_all || !skip(_rest_after)) {
        settle_copies(); // the caller frees the destination after a failure
        return fail("a resource's data is cut short");
    }
    return true;
}

void Bundle::settle_copies()
{
    if (_segments)
        _segments->settle_copies();
}

bool Bundle::skip_resource(ResourceId id)
{
    RecordInfo record;
    if (!read_record_header(id, record))
        return false;
    if (!record.matches)
        log_message("resource", "bundle '%s' holds another resource where %016llx (type %016llx) was expected",
                    _file_name, hex(id.name), hex(id.type));
    return skip(record.total) || fail("a resource record is cut short");
}

} // namespace tallow
