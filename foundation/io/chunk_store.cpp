#include "foundation/io/chunk_store.h"

#include "foundation/log.h"

#include <cstring>

namespace tallow {

namespace {
// Nested lists deeper than this are taken as damage (a list containing itself).
constexpr u32 max_depth = 64;
// Offsets are u32 with not_found reserved, so the array stays below it.
constexpr u64 max_store_bytes = 0xFFFFFFFEull;
} // namespace

ChunkStore::ChunkStore(Allocator &allocator) : _bytes(allocator)
{
    if (allocate(8) == 0)
        set_word(root_list, not_found);
}

bool ChunkStore::assign_bytes(const void *data, u32 size)
{
    _free_list = not_found;
    _bytes.clear();
    if (size < 8) {
        if (allocate(8) == 0)
            set_word(root_list, not_found);
        return true;
    }
    _bytes.resize(size);
    if (_bytes.size() != size) {
        _bytes.clear();
        if (allocate(8) == 0)
            set_word(root_list, not_found);
        return false;
    }
    memcpy(_bytes.data(), data, size);
    return true;
}

u32 ChunkStore::word(u32 offset) const
{
    u32 v = not_found;
    if (u64(offset) + 4 <= _bytes.size())
        memcpy(&v, _bytes.data() + offset, 4);
    return v;
}

void ChunkStore::set_word(u32 offset, u32 value)
{
    if (u64(offset) + 4 <= _bytes.size())
        memcpy(_bytes.data() + offset, &value, 4);
}

bool ChunkStore::is_chunk(u32 offset) const
{
    return offset != not_found && u64(offset) + header_bytes <= _bytes.size() &&
           u64(offset) + header_bytes + word(offset + 12) <= _bytes.size();
}

u32 ChunkStore::allocate(u32 n)
{
    u32 link = not_found; // offset of the field pointing at `block`; not_found: _free_list
    u32 block = _free_list;
    u32 steps = _bytes.size() / 8 + 1;
    while (block != not_found && steps-- > 0 && u64(block) + 8 <= _bytes.size()) {
        u32 next = word(block + 4);
        if (word(block) == n) {
            if (link == not_found)
                _free_list = next;
            else
                set_word(link, next);
            return block;
        }
        link = block + 4;
        block = next;
    }
    u64 end = _bytes.size();
    if (end + n > max_store_bytes) {
        log_message("chunk_store", "store would pass 4 GiB; %u bytes refused", n);
        return not_found;
    }
    _bytes.resize(u32(end + n));
    if (_bytes.size() != end + n) {
        log_message("chunk_store", "no memory for %u more bytes", n);
        return not_found;
    }
    return u32(end);
}

u32 ChunkStore::find(u32 head, u32 key, u32 *out_link) const
{
    u32 link = head;
    u32 chunk = word(head);
    u32 steps = _bytes.size() / header_bytes + 1;
    while (is_chunk(chunk) && steps-- > 0) {
        if (word(chunk) == key) {
            if (out_link)
                *out_link = link;
            return chunk;
        }
        link = chunk + 4;
        chunk = word(link);
    }
    if (out_link)
        *out_link = link;
    return not_found;
}

u32 ChunkStore::set(u32 head, u32 key, u32 kind, u32 size, const void *data)
{
    if (u64(head) + 4 > _bytes.size())
        return not_found;
    // Sizes are summed in 64 bits: a u32 sum wraps near 4 GiB into a tiny block.
    u64 stored = (u64(size) + 3) & ~u64(3);
    if (stored + header_bytes > max_store_bytes) {
        log_message("chunk_store", "chunk of %u bytes refused; a store holds under 4 GiB", size);
        return not_found;
    }
    // `data` may live in this array, which can move when it grows: copy it out first.
    const u8 *from = static_cast<const u8 *>(data);
    Array<u8> copy(_bytes.allocator());
    if (from >= _bytes.data() && from < _bytes.data() + _bytes.size()) {
        copy.resize(size);
        if (copy.size() != size)
            return not_found;
        memcpy(copy.data(), from, size);
        from = copy.data();
    }
    u32 link = head;
    u32 chunk = find(head, key, &link);
    if (chunk != not_found) {
        if (chunk_size(chunk) == stored) {
            set_word(chunk + 8, kind);
            if (size)
                memcpy(chunk_data(chunk), from, size);
            return chunk;
        }
    }
    // The new block comes first, so a refused set leaves the old chunk in place.
    u32 fresh = allocate(u32(stored + header_bytes));
    if (fresh == not_found)
        return not_found;
    if (chunk != not_found) {
        // Unlink, then put the block on the free list.
        set_word(link, word(chunk + 4));
        set_word(chunk, chunk_size(chunk) + header_bytes);
        set_word(chunk + 4, _free_list);
        _free_list = chunk;
        // The list's last link may have been the chunk just removed.
        find(head, key, &link);
    }
    chunk = fresh;
    set_word(chunk, key);
    set_word(chunk + 4, not_found);
    set_word(chunk + 8, kind);
    set_word(chunk + 12, u32(stored));
    if (size)
        memcpy(chunk_data(chunk), from, size);
    set_word(link, chunk);
    return chunk;
}

bool ChunkStore::remove(u32 head, u32 key)
{
    u32 link = head;
    u32 chunk = find(head, key, &link);
    if (chunk == not_found)
        return false;
    set_word(link, word(chunk + 4));
    set_word(chunk, chunk_size(chunk) + header_bytes);
    set_word(chunk + 4, _free_list);
    _free_list = chunk;
    return true;
}

void ChunkStore::find_all_in(u32 head, u32 kind, Array<u8 *> &out_addresses, u32 depth, u32 &steps)
{
    if (depth > max_depth)
        return;
    u32 chunk = word(head);
    while (is_chunk(chunk) && steps > 0) {
        --steps;
        u32 chunk_kind = word(chunk + 8);
        if (chunk_kind == kind)
            out_addresses.push_back(chunk_data(chunk));
        if (chunk_kind == nested_list && chunk_size(chunk) >= 4)
            find_all_in(nested_head(chunk), kind, out_addresses, depth + 1, steps);
        chunk = word(chunk + 4);
    }
}

void ChunkStore::find_all(u32 head, u32 kind, Array<u8 *> &out_addresses)
{
    u32 steps = _bytes.size() / header_bytes + 1;
    find_all_in(head, kind, out_addresses, 0, steps);
}

} // namespace tallow
