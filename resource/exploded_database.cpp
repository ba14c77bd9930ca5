#include "resource/exploded_database.h"

#include "foundation/io/input_archive.h"
#include "foundation/log.h"
#include "resource/byte_reader.h"

#include <cstdio>

namespace tallow {

namespace {

constexpr u64 entry_bytes = 24;

// Reads a whole file into a block from `allocator`; false (logged) when it cannot.
bool read_whole_file(const DiskFileSystem &file_system, const char *name, Allocator &allocator, u32 alignment,
                     LooseFile &out)
{
    SharedReference<InputBuffer> buffer = file_system.open_input(name, allocator, false);
    if (!buffer)
        return false;
    InputArchive archive(buffer);
    u64 size = archive.size();
    void *data = allocator.allocate(size ? size : 1, alignment);
    if (!data) {
        log_message("resource", "out of memory reading '%s' (%llu bytes)", name, (unsigned long long)size);
        return false;
    }
    if (!archive.read(data, size)) {
        log_message("resource", "'%s' could not be read whole", name);
        allocator.deallocate(data);
        return false;
    }
    out.data = data;
    out.size = size;
    return true;
}

bool entry_less(u64 t1, u64 n1, u32 m1, u32 f1, u64 t2, u64 n2, u32 m2, u32 f2)
{
    if (t1 != t2)
        return t1 < t2;
    if (n1 != n2)
        return n1 < n2;
    if (m1 != m2)
        return m1 < m2;
    return f1 < f2;
}

} // namespace

ExplodedDatabase::ExplodedDatabase(const char *data_directory, Allocator &parent)
    : _allocator("exploded_database", parent), _file_system(data_directory, _allocator), _entries(_allocator),
      _property_ids(_allocator), _choice(_allocator)
{
    LooseFile index;
    if (!_file_system.exists(index_file_name)) {
        log_message("resource", "no loose-file database '%s' in '%s'", index_file_name, data_directory);
        return;
    }
    if (!read_whole_file(_file_system, index_file_name, _allocator, 8, index))
        return;
    parse(index.data, index.size);
    _allocator.deallocate(index.data);
}

bool ExplodedDatabase::parse(const void *bytes, u64 size)
{
    _entries.clear();
    _property_ids.clear();
    _valid = false;
    ByteReader in(bytes, size);
    u32 format_word = 0, count = 0;
    const char *problem = nullptr;
    if (!in.read_u32(format_word) || !in.read_u32(count))
        problem = "it is shorter than its header";
    else if (u64(count) * entry_bytes + 4 > in.left())
        problem = "its entry count is larger than the file can hold";
    else {
        _entries.resize(count);
        if (_entries.size() != count)
            problem = "out of memory for its entries";
    }
    for (u32 i = 0; !problem && i < count; ++i) {
        Entry &e = _entries[i];
        in.read_u64(e.type);
        in.read_u64(e.name);
        in.read_u32(e.mask);
        in.read_u32(e.file_id);
        // Lookups bisect: an unsorted table would silently miss resources.
        if (i > 0) {
            const Entry &p = _entries[i - 1];
            if (!entry_less(p.type, p.name, p.mask, p.file_id, e.type, e.name, e.mask, e.file_id) &&
                !(p.type == e.type && p.name == e.name && p.mask == e.mask && p.file_id == e.file_id))
                problem = "its entries are not sorted";
        }
    }
    u32 property_count = 0;
    if (!problem && !in.read_u32(property_count))
        problem = "its property count is missing";
    if (!problem && u64(property_count) * 8 > in.left())
        problem = "its property count is larger than the file can hold";
    if (!problem) {
        _property_ids.resize(property_count);
        if (_property_ids.size() != property_count)
            problem = "out of memory for its properties";
        for (u32 i = 0; !problem && i < property_count; ++i)
            in.read_u64(_property_ids[i]);
    }
    if (!problem && !in.ok())
        problem = "it is cut short";
    if (problem) {
        log_message("resource", "loose-file database '%s' is unusable: %s", index_file_name, problem);
        _entries.clear();
        _property_ids.clear();
        return false;
    }
    _valid = true;
    return true;
}

void ExplodedDatabase::set_active_properties(const u64 *preference, u32 preference_count)
{
    _choice.set_active(_property_ids.data(), _property_ids.size(), preference, preference_count);
}

bool ExplodedDatabase::find(ResourceId id, u32 &out_file_id) const
{
    u64 type = id.type.value(), name = id.name.value();
    u32 lo = 0, hi = _entries.size();
    while (lo < hi) {
        u32 mid = lo + (hi - lo) / 2;
        const Entry &e = _entries[mid];
        if (e.type < type || (e.type == type && e.name < name))
            lo = mid + 1;
        else
            hi = mid;
    }
    bool found = false;
    i64 best = variant_unqualified;
    for (u32 i = lo; i < _entries.size() && _entries[i].type == type && _entries[i].name == name; ++i) {
        i64 score = _choice.score(_entries[i].mask);
        if (score > best) {
            best = score;
            out_file_id = _entries[i].file_id;
            found = true;
        }
    }
    return found;
}

void ExplodedDatabase::loose_file_name(u32 file_id, char *out) { snprintf(out, 24, "%u/%u", file_id / 100, file_id); }

bool ExplodedDatabase::read(ResourceId id, Allocator &allocator, u32 alignment, LooseFile &out) const
{
    u32 file_id = 0;
    if (!find(id, file_id)) {
        log_message("resource", "resource %016llx (type %016llx) is not in the loose-file database%s", hex(id.name),
                    hex(id.type), _valid ? " (or has no variant for the property preference order)" : "");
        return false;
    }
    char name[24];
    loose_file_name(file_id, name);
    if (!read_whole_file(_file_system, name, allocator, alignment, out)) {
        log_message("resource", "resource %016llx (type %016llx): loose file '%s' is missing or unreadable",
                    hex(id.name), hex(id.type), name);
        return false;
    }
    return true;
}

} // namespace tallow
