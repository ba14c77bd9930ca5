#include "resource/resource_writer.h"

#include "foundation/io/compressed_buffer.h"
#include "foundation/io/disk_file_system.h"
#include "foundation/io/little_endian.h"
#include "foundation/log.h"
#include "foundation/io/memory_buffer.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/io/output_archive.h"
#include "resource/exploded_database.h"

#include <algorithm>
#include <cstring>

namespace tallow {

void append_u32(Array<u8> &out, u32 value)
{
    for (u32 i = 0; i < 4; ++i)
        out.push_back(u8(value >> (8 * i)));
}

void append_u64(Array<u8> &out, u64 value)
{
    append_u32(out, u32(value));
    append_u32(out, u32(value >> 32));
}

void append_bytes(Array<u8> &out, const void *data, u64 size)
{
    u32 at = out.size();
    out.resize(u32(at + size));
    if (size)
        memcpy(out.data() + at, data, size);
}

bool write_file_bytes(const DiskFileSystem &file_system, const char *name, const void *data, u64 size)
{
    OutputArchive archive(file_system.open_output(name, default_allocator(), false));
    archive.write(data, size);
    if (!archive.flush()) {
        log_message("resource", "could not write '%s'", name);
        return false;
    }
    return true;
}

namespace {
void copy_out(MemoryOutputBuffer &memory, Array<u8> &out);
}

bool compress_bundle_payload(const Array<u8> &payload, u32 format_word, Array<u8> &out_file)
{
    Allocator &allocator = out_file.allocator();
    auto memory = make_shared_reference<MemoryOutputBuffer>(allocator, allocator);
    if (!memory)
        return false;
    bool ok = true;
    {
        OutputArchive file(memory);
        file.write(format_word);
        {
            auto compressed = make_segment_compressed_output_buffer(allocator, file);
            OutputArchive stream(compressed);
            stream.write(payload.data(), payload.size());
            ok = stream.flush() && compressed && compressed->finish();
        }
        ok = file.flush() && ok;
    }
    copy_out(*memory, out_file);
    return ok;
}

BundleWriter::BundleWriter(Allocator &allocator)
    : _allocator(allocator), _properties(allocator), _resources(allocator), _variants(allocator), _bytes(allocator)
{
}

bool BundleWriter::add_property(NameId64 property)
{
    if (_properties.size() >= 32)
        return false;
    _properties.push_back(property.value());
    return true;
}

void BundleWriter::add_variant(ResourceId id, u32 mask, const void *data, u64 size)
{
    u32 resource = _resources.size();
    for (u32 i = 0; i < _resources.size(); ++i)
        if (_resources[i] == id)
            resource = i;
    if (resource == _resources.size())
        _resources.push_back(id);
    _variants.push_back(Variant{resource, mask, _bytes.size(), size});
    append_bytes(_bytes, data, size);
}

namespace {

void write_u32(OutputArchive &out, u32 value)
{
    u8 b[4];
    store_u32_le(b, value);
    out.write(b, 4);
}

void write_u64(OutputArchive &out, u64 value)
{
    u8 b[8];
    store_u64_le(b, value);
    out.write(b, 8);
}

void copy_out(MemoryOutputBuffer &memory, Array<u8> &out)
{
    out.resize(u32(memory.total_size()));
    if (out.size())
        memory.copy_to(out.data());
}

} // namespace

void BundleWriter::write_payload(OutputArchive &out) const
{
    write_u32(out, _resources.size());
    for (u32 k = 0; k < 32; ++k)
        write_u64(out, k < _properties.size() ? _properties[k] : 0);
    for (const ResourceId &id : _resources) {
        write_u64(out, id.type.value());
        write_u64(out, id.name.value());
    }
    for (u32 r = 0; r < _resources.size(); ++r) {
        write_u64(out, _resources[r].type.value());
        write_u64(out, _resources[r].name.value());
        u32 count = 0;
        for (const Variant &v : _variants)
            count += v.resource == r;
        write_u32(out, count);
        for (const Variant &v : _variants)
            if (v.resource == r) {
                write_u32(out, v.mask);
                write_u32(out, u32(v.size));
            }
        for (const Variant &v : _variants)
            if (v.resource == r)
                out.write(_bytes.data() + v.offset, v.size);
    }
}

void BundleWriter::build_payload(Array<u8> &out) const
{
    auto memory = make_shared_reference<MemoryOutputBuffer>(_allocator, _allocator);
    {
        OutputArchive archive(memory);
        write_payload(archive);
        (void)archive.flush();
    }
    copy_out(*memory, out);
}

bool BundleWriter::write_compressed(OutputArchive &file) const
{
    file.write(resource_format_word);
    auto compressed = make_segment_compressed_output_buffer(_allocator, file);
    if (!compressed)
        return false;
    bool ok;
    {
        OutputArchive stream(compressed);
        write_payload(stream);
        ok = stream.flush();
    }
    ok = compressed->finish() && ok;
    return file.flush() && ok;
}

bool BundleWriter::build_file(Array<u8> &out) const
{
    auto memory = make_shared_reference<MemoryOutputBuffer>(_allocator, _allocator);
    bool ok;
    {
        OutputArchive file(memory);
        ok = write_compressed(file);
    }
    copy_out(*memory, out);
    return ok;
}

bool BundleWriter::write_file(const DiskFileSystem &file_system, const char *name) const
{
    OutputArchive file(file_system.open_output(name, _allocator, false));
    if (!write_compressed(file)) {
        log_message("resource", "could not write bundle '%s'", name);
        return false;
    }
    return true;
}

DatabaseWriter::DatabaseWriter(Allocator &allocator)
    : _allocator(allocator), _properties(allocator), _entries(allocator), _bytes(allocator)
{
}

bool DatabaseWriter::add_property(NameId64 property)
{
    if (_properties.size() >= 32)
        return false;
    _properties.push_back(property.value());
    return true;
}

void DatabaseWriter::add_variant(ResourceId id, u32 mask, const void *data, u64 size)
{
    _entries.push_back(Entry{id, mask, _entries.size() + 1, _bytes.size(), size});
    append_bytes(_bytes, data, size);
}

void DatabaseWriter::build_index(Array<u8> &out) const
{
    Array<Entry> sorted(_entries);
    std::stable_sort(sorted.begin(), sorted.end(), [](const Entry &a, const Entry &b) {
        if (a.id.type.value() != b.id.type.value())
            return a.id.type.value() < b.id.type.value();
        if (a.id.name.value() != b.id.name.value())
            return a.id.name.value() < b.id.name.value();
        if (a.mask != b.mask)
            return a.mask < b.mask;
        return a.file_id < b.file_id;
    });
    out.clear();
    append_u32(out, resource_format_word);
    append_u32(out, sorted.size());
    for (const Entry &e : sorted) {
        append_u64(out, e.id.type.value());
        append_u64(out, e.id.name.value());
        append_u32(out, e.mask);
        append_u32(out, e.file_id);
    }
    append_u32(out, _properties.size());
    for (u64 p : _properties)
        append_u64(out, p);
}

bool DatabaseWriter::write(const DiskFileSystem &file_system) const
{
    Array<u8> index(_allocator);
    build_index(index);
    if (!write_file_bytes(file_system, ExplodedDatabase::index_file_name, index.data(), index.size()))
        return false;
    for (const Entry &e : _entries) {
        char folder[16], name[24];
        snprintf(folder, sizeof(folder), "%u", e.file_id / 100);
        ExplodedDatabase::loose_file_name(e.file_id, name);
        if (!file_system.create_directory(folder) ||
            !write_file_bytes(file_system, name, _bytes.data() + e.offset, e.size))
            return false;
    }
    return true;
}

void build_package_resource(const ResourceId *resources, u32 count, Array<u8> &out)
{
    out.clear();
    append_u32(out, count);
    for (u32 i = 0; i < count; ++i) {
        append_u64(out, resources[i].type.value());
        append_u64(out, resources[i].name.value());
    }
}

} // namespace tallow
