#include "resource/strings_resource.h"

#include "foundation/io/input_archive.h"
#include "foundation/log.h"
#include "resource/byte_reader.h"

#include <cstring>

namespace tallow {

bool validate_strings_resource(const u8 *data, u64 size, const char **out_reason)
{
    const char *reason = nullptr;
    ByteReader in(data, size);
    u32 count = 0;
    if (!in.read_u32(count) || !in.has(u64(count) * 8)) {
        reason = "the record count is larger than the resource";
    } else {
        u32 previous = 0;
        for (u32 i = 0; i < count && !reason; ++i) {
            u32 key = 0, offset = 0;
            in.read_u32(key);
            in.read_u32(offset);
            if (i > 0 && key <= previous)
                reason = "the keys are not sorted or a key repeats";
            else if (offset >= size || !std::memchr(data + offset, 0, size - offset))
                reason = "a text lies outside the resource or has no end";
            previous = key;
        }
    }
    if (out_reason)
        *out_reason = reason;
    return !reason;
}

const char *strings_lookup(const StringsResource &strings, NameId32 key)
{
    const u8 *records = strings.bytes() + 4;
    u32 low = 0, high = strings.count;
    while (low < high) {
        u32 middle = low + (high - low) / 2;
        u32 k = load_u32_le(records + u64(middle) * 8);
        if (k == key.value())
            return reinterpret_cast<const char *>(strings.bytes() + load_u32_le(records + u64(middle) * 8 + 4));
        if (k < key.value())
            low = middle + 1;
        else
            high = middle;
    }
    return nullptr;
}

namespace {

void *load_strings(const ResourceLoadParams &params)
{
    u64 size = params.size_bytes;
    auto *strings = static_cast<StringsResource *>(
        params.allocator.allocate(sizeof(StringsResource) + size, alignof(StringsResource)));
    if (!strings)
        return nullptr;
    u8 *bytes = reinterpret_cast<u8 *>(strings + 1);
    const char *reason = nullptr;
    if (!params.archive.read(bytes, size) || !validate_strings_resource(bytes, size, &reason)) {
        log_message("resource", "strings resource %016llx refused: %s", (unsigned long long)params.name.value(),
                    reason ? reason : "its bytes cannot be read");
        params.allocator.deallocate(strings);
        return nullptr;
    }
    strings->count = load_u32_le(bytes);
    strings->reserved = 0;
    strings->size = size;
    return strings;
}

} // namespace

ResourceTypeCallbacks strings_resource_callbacks()
{
    ResourceTypeCallbacks callbacks;
    callbacks.load = &load_strings;
    return callbacks;
}

} // namespace tallow
