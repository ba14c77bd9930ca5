#include "foundation/config/config_blob.h"
#include "foundation/config/config_blob_internal.h"

#include "foundation/containers/hash_map.h"
#include "foundation/io/little_endian.h"
#include "foundation/log.h"
#include "foundation/memory/temp_allocator.h"

#include <cstring>

namespace tallow {

namespace {

using Flat = ConstConfigKind;

Flat flat_kind(ConfigKind kind)
{
    switch (kind) {
    case ConfigKind::Bool: return Flat::Bool;
    case ConfigKind::Integer: return Flat::Integer;
    case ConfigKind::Float: return Flat::Float;
    case ConfigKind::String: return Flat::String;
    case ConfigKind::Array: return Flat::Array;
    case ConfigKind::Object: return Flat::Object;
    default: return Flat::Nil; // nil and byte data
    }
}

u32 float_bits(f32 f)
{
    u32 bits;
    memcpy(&bits, &f, 4);
    return bits;
}

// Measures (no output block) or writes a blob of at most `capacity` bytes. Both passes
// place records and texts alike unless the text table's memory runs out in one pass and
// not the other; the write pass never writes past `capacity` and reports that it ran out.
class BlobWriter {
  public:
    BlobWriter(u8 *out, u64 capacity, Allocator &scratch) : _out(out), _capacity(capacity), _texts(scratch) {}

    u64 end() const { return _end; }
    bool overflowed() const { return _end > _capacity; }

    u32 reserve(u64 n)
    {
        u64 start = (_end + 3) & ~u64(3);
        _end = start + n;
        return u32(start); // sizes past 4 GiB are refused by the caller before writing
    }

    void put(u32 offset, u32 value)
    {
        if (_out && u64(offset) + 4 <= _capacity)
            store_u32_le(_out + offset, value);
    }

    u32 text(const char *text)
    {
        u32 i = _texts.find(text);
        if (i != HashMap<const char *, u32, TextHashKey>::no_entry)
            return _texts.value(i);
        u64 length = strlen(text) + 1;
        u32 offset = reserve(length);
        if (_out && u64(offset) + length <= _capacity)
            memcpy(_out + offset, text, length);
        i = _texts.find_or_insert(text);
        if (i != HashMap<const char *, u32, TextHashKey>::no_entry)
            _texts.value(i) = offset;
        return offset;
    }

    u32 payload(const ConfigValue &value)
    {
        switch (value.kind()) {
        case ConfigKind::Bool: return value.to_bool() ? 1 : 0;
        case ConfigKind::Integer: return u32(value.to_integer());
        case ConfigKind::Float: return float_bits(value.to_float());
        case ConfigKind::String: return text(value.to_string());
        case ConfigKind::Array: return array(value);
        case ConfigKind::Object: return object(value);
        default: return 0;
        }
    }

    void root(const ConfigValue &value)
    {
        u32 at = reserve(8);
        put(at, u32(flat_kind(value.kind())));
        put(at + 4, payload(value));
    }

  private:
    static Flat element_kind(const ConfigValue &array)
    {
        const Array<ConfigValue> &items = array.items();
        if (items.empty())
            return Flat::Nil;
        Flat kind = flat_kind(items[0].kind());
        if (kind == Flat::Integer) {
            bool all_numbers = true, any_float = false;
            for (const ConfigValue &item : items) {
                all_numbers &= item.kind() == ConfigKind::Integer || item.kind() == ConfigKind::Float;
                any_float |= item.kind() == ConfigKind::Float;
            }
            if (all_numbers && any_float)
                return Flat::Float;
        }
        return kind;
    }

    // The payload of an empty value of `kind`.
    u32 empty_payload(Flat kind)
    {
        switch (kind) {
        case Flat::String: return text("");
        case Flat::Array: {
            u32 at = reserve(8);
            put(at, u32(Flat::Nil));
            put(at + 4, 0);
            return at;
        }
        case Flat::Object: {
            u32 at = reserve(4);
            put(at, 0);
            return at;
        }
        default: return 0;
        }
    }

    u32 array(const ConfigValue &value)
    {
        const Array<ConfigValue> &items = value.items();
        Flat kind = element_kind(value);
        u32 at = reserve(8 + 4 * u64(items.size()));
        put(at, u32(kind));
        put(at + 4, items.size());
        for (u32 i = 0; i < items.size(); ++i) {
            const ConfigValue &item = items[i];
            Flat item_kind = flat_kind(item.kind());
            u32 p;
            if (item_kind == kind) {
                p = payload(item);
            } else if (kind == Flat::Float && item_kind == Flat::Integer) {
                p = float_bits(f32(item.to_integer()));
            } else {
                if (_out)
                    log_message("config", "array item %u is %s in an array of %s; stored as an empty %s", i,
                                to_string(item_kind), to_string(kind), to_string(kind));
                p = empty_payload(kind);
            }
            put(at + 8 + 4 * i, p);
        }
        return at;
    }

    u32 object(const ConfigValue &value)
    {
        const ConfigValue::Members &members = value.members();
        u32 at = reserve(4 + 12 * u64(members.size()));
        put(at, members.size());
        u32 entry = at + 4;
        for (const auto &member : members) {
            put(entry, text(member.key.c_str()));
            put(entry + 4, u32(flat_kind(member.value.kind())));
            put(entry + 8, payload(member.value));
            entry += 12;
        }
        return at;
    }

    u8 *_out; // null while measuring
    u64 _capacity;
    u64 _end = 0;
    HashMap<const char *, u32, TextHashKey> _texts; // text -> offset of its first copy
};

// Validation -------------------------------------------------------------------------

class BlobChecker {
  public:
    BlobChecker(const u8 *blob, u64 size) : _blob(blob), _size(size), _budget(size / 4 + 1) {}

    bool check_root()
    {
        if (_size < 8)
            return fail("blob shorter than its 8-byte root", 0);
        return check_value(word(0), word(4), 0);
    }

  private:
    u32 word(u64 offset) const { return load_u32_le(_blob + offset); }

    bool fail(const char *what, u64 offset)
    {
        log_message("config", "config blob of %llu bytes is corrupt at %llu: %s", (unsigned long long)_size,
                    (unsigned long long)offset, what);
        return false;
    }

    bool check_text(u32 offset)
    {
        if (offset >= _size)
            return fail("text outside the blob", offset);
        if (!memchr(_blob + offset, 0, _size - offset))
            return fail("text without its terminating zero", offset);
        return true;
    }

    // A record of `header` bytes whose count (at its `count_at`) gives items of `item`
    // bytes; returns the count, or -1.
    i64 record(u32 offset, u64 header, u64 count_at, u64 item)
    {
        if (offset % 4 != 0)
            return fail("record not 4-aligned", offset), -1;
        if (u64(offset) + header > _size)
            return fail("record outside the blob", offset), -1;
        i32 count = i32(word(offset + count_at));
        if (count < 0 || u64(offset) + header + item * u64(count) > _size)
            return fail("record count does not fit", offset), -1;
        // Every record a good blob holds is reached once and takes at least 4 bytes, so
        // more visits than words mean a cycle (or sharing past that bound).
        if (_budget == 0)
            return fail("records shared or cyclic", offset), -1;
        --_budget;
        return count;
    }

    bool check_value(u32 kind, u32 payload, u32 depth)
    {
        if (depth > 512)
            return fail("nested too deep", payload);
        switch (Flat(kind)) {
        case Flat::Nil:
        case Flat::Bool:
        case Flat::Integer:
        case Flat::Float: return kind <= 3;
        case Flat::String: return check_text(payload);
        case Flat::Array: {
            i64 count = record(payload, 8, 4, 4);
            if (count < 0)
                return false;
            u32 element = word(payload);
            if (element > 6)
                return fail("unknown element kind", payload);
            for (i64 i = 0; i < count; ++i)
                if (!check_value(element, word(payload + 8 + 4 * u64(i)), depth + 1))
                    return false;
            return true;
        }
        case Flat::Object: {
            i64 count = record(payload, 4, 0, 12);
            if (count < 0)
                return false;
            for (i64 i = 0; i < count; ++i) {
                u64 entry = payload + 4 + 12 * u64(i);
                if (!check_text(word(entry)) || !check_value(word(entry + 4), word(entry + 8), depth + 1))
                    return false;
            }
            return true;
        }
        }
        return fail("unknown kind", payload);
    }

    const u8 *_blob;
    u64 _size;
    u64 _budget; // records that may still be visited
};

} // namespace

void *flatten_config(const ConfigValue &value, Allocator &allocator, u32 *out_size)
{
    TempAllocator scratch;
    return flatten_config(value, allocator, scratch, out_size);
}

void *flatten_config(const ConfigValue &value, Allocator &allocator, Allocator &scratch, u32 *out_size)
{
    *out_size = 0;
    u64 size;
    {
        BlobWriter measure(nullptr, ~u64(0), scratch);
        measure.root(value);
        size = measure.end();
    }
    if (size > 0xFFFFFFFFull) {
        log_message("config", "config tree too large to flatten (%llu bytes)", (unsigned long long)size);
        return nullptr;
    }
    u8 *blob = static_cast<u8 *>(allocator.allocate(size, 4));
    if (!blob) {
        log_message("config", "no memory for a config blob of %llu bytes", (unsigned long long)size);
        return nullptr;
    }
    memset(blob, 0, size); // padding between records
    BlobWriter write(blob, size, scratch);
    write.root(value);
    if (write.end() != size) {
        // Only the text table's memory can make the passes differ; a longer blob was cut
        // off at `size`, and offsets of a shorter one no longer match the measured size.
        log_message("config", "config blob changed size between passes (%llu, then %llu bytes); out of memory?",
                    (unsigned long long)size, (unsigned long long)write.end());
        allocator.deallocate(blob);
        return nullptr;
    }
    *out_size = u32(size);
    return blob;
}

bool validate_const_config(const void *blob, u64 size_bytes)
{
    if (!blob) {
        log_message("config", "no config blob");
        return false;
    }
    BlobChecker checker(static_cast<const u8 *>(blob), size_bytes);
    return checker.check_root();
}

} // namespace tallow
