#include "network/lan/key_value_block.h"

#include "foundation/log.h"
#include "foundation/strings/murmur_hash.h"

#include <cstring>

namespace tallow::network {

u32 KeyValueBlock::string_end(u32 at) const
{
    if (at >= _bytes.size())
        return 0;
    const void *nul = memchr(_bytes.data() + at, 0, _bytes.size() - at);
    return nul ? u32(static_cast<const char *>(nul) - _bytes.data()) + 1 : 0;
}

const char *KeyValueBlock::next_key(const char *key) const
{
    u32 at = 0;
    if (key) {
        if (key < _bytes.data() || key >= _bytes.data() + _bytes.size())
            return nullptr;
        const u32 key_end = string_end(u32(key - _bytes.data()));
        at = key_end ? string_end(key_end) : 0;
        if (!at)
            return nullptr;
    }
    // A pair is complete only when both strings end inside the block.
    const u32 key_end = string_end(at);
    if (!key_end || !string_end(key_end))
        return nullptr;
    return _bytes.data() + at;
}

const char *KeyValueBlock::value_of(const char *key) const
{
    if (!key || key < _bytes.data() || key >= _bytes.data() + _bytes.size())
        return nullptr;
    const u32 key_end = string_end(u32(key - _bytes.data()));
    return key_end && string_end(key_end) ? _bytes.data() + key_end : nullptr;
}

const char *KeyValueBlock::get(const char *key) const
{
    for (const char *k = next_key(nullptr); k; k = next_key(k))
        if (strcmp(k, key) == 0)
            return value_of(k);
    return nullptr;
}

bool KeyValueBlock::set(const char *key, const char *value)
{
    const char *old = get(key);
    if (old && strcmp(old, value) == 0)
        return false;
    const u32 key_length = u32(strlen(key)) + 1;
    const u32 value_length = u32(strlen(value)) + 1;
    u32 old_size = 0;
    u32 old_at = 0;
    if (old) {
        old_at = u32(old - _bytes.data()) - key_length;
        old_size = key_length + u32(strlen(old)) + 1;
    }
    if (u64(_bytes.size()) - old_size + key_length + value_length > lan_max_block_bytes) {
        log_message("network", "lobby data: '%s' not set; a block holds at most %u bytes", key, lan_max_block_bytes);
        return false;
    }
    if (old) {
        memmove(_bytes.data() + old_at, _bytes.data() + old_at + old_size, _bytes.size() - old_at - old_size);
        _bytes.resize(_bytes.size() - old_size);
    }
    const u32 at = _bytes.size();
    _bytes.resize(at + key_length + value_length);
    if (_bytes.size() != at + key_length + value_length)
        return false;
    memcpy(_bytes.data() + at, key, key_length);
    memcpy(_bytes.data() + at + key_length, value, value_length);
    return true;
}

bool KeyValueBlock::store_chunk(u32 total, u32 index, const u8 *bytes, u32 size)
{
    if (total == 0 || total > lan_max_block_bytes || u64(index) * 1024 >= total)
        return false;
    const u32 offset = index * 1024;
    const u32 expected = total - offset < 1024 ? total - offset : 1024;
    if (size != expected)
        return false;
    _bytes.resize(total);
    if (_bytes.size() != total)
        return false;
    memcpy(_bytes.data() + offset, bytes, size);
    return true;
}

u64 KeyValueBlock::hash() const { return murmur_hash_64(_bytes.data(), _bytes.size(), 0); }

} // namespace tallow::network
