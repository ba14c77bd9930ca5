#pragma once
// Small keyed blobs of data in lists that may nest, all inside one growable byte array.
// The Application, every world and every unit carry one; scripts keep their data in it.
//
//   ChunkStore store(allocator);
//   store.set(ChunkStore::root_list, key, kind, sizeof value, &value);
//   u32 chunk = store.find(ChunkStore::root_list, key, &link);
//   if (chunk != ChunkStore::not_found) read(store.chunk_data(chunk));
//
// Everything inside the array is addressed by u32 byte offsets, so a store can be copied
// or saved as its bytes alone. Layout:
//   offset 0: the root list head (offset of the first chunk, or not_found), 4 spare bytes;
//   chunk:    {key, next chunk of the same list, kind, data size rounded up to 4} (16
//             bytes), then the data; a chunk of kind `nested_list` holds a list head first;
//   freed:    {block size (data size + 16), next free block}.
// Chunk data is only 4-aligned: read 8-byte values with memcpy. Addresses from
// `chunk_data` and `find_all` are valid until the next call that adds a chunk.
// Walks check every offset against the array and stop on a cycle, so a store copied from
// bytes that are damaged gives not_found rather than reading out of bounds.
// A store belongs to its owner's thread.

#include "foundation/containers/array.h"
#include "foundation/types.h"

namespace tallow {

class ChunkStore {
  public:
    static constexpr u32 not_found = 0xFFFFFFFFu;
    static constexpr u32 nested_list = 0xFFFFFFFFu; ///< kind of a chunk holding a list
    static constexpr u32 root_list = 0;             ///< offset of the root list head
    static constexpr u32 header_bytes = 16;

    /// An empty store: the 8-byte root block with an empty root list.
    explicit ChunkStore(Allocator &allocator);

    /// Offset of a block of exactly `n` bytes: a freed block of that size, or new bytes
    /// at the end of the array. not_found when memory runs out.
    u32 allocate(u32 n);
    /// The chunk of `key` in the list whose head is at `head`, or not_found. `out_link`
    /// (when not null) receives the offset of the field that points at the chunk (the head
    /// or the previous chunk's next field), or of the list's last link when absent.
    u32 find(u32 head, u32 key, u32 *out_link = nullptr) const;
    /// Stores `size` bytes at `data` under `key` (overwriting in place when the stored
    /// size matches, otherwise freeing the old chunk and appending a new one at the end of
    /// the list). `data` may point into this store. Returns the chunk's offset, or
    /// not_found when memory ran out or `head` is not a list head in the store.
    u32 set(u32 head, u32 key, u32 kind, u32 size, const void *data);
    /// Unlinks the chunk of `key` from the list at `head` and frees its block (a nested
    /// list goes whole: look into it first when its chunks hold anything to release).
    /// False when there is no such chunk.
    bool remove(u32 head, u32 key);
    /// Appends the data address of every chunk of `kind` in the list, in order, searching
    /// nested lists where they occur.
    void find_all(u32 head, u32 kind, Array<u8 *> &out_addresses);

    /// Offset of the list head inside a nested-list chunk.
    static u32 nested_head(u32 chunk) { return chunk + header_bytes; }
    u32 chunk_key(u32 chunk) const { return word(chunk); }
    u32 chunk_kind(u32 chunk) const { return word(chunk + 8); }
    u32 chunk_size(u32 chunk) const { return word(chunk + 12); }
    u8 *chunk_data(u32 chunk) { return _bytes.data() + chunk + header_bytes; }

    /// Replaces the whole store with `size` bytes of another store's `bytes()` (a saved
    /// store, a unit resource's data defaults). Fewer than 8 bytes leave an empty store.
    /// Damaged bytes are safe: walks then end at not_found. False when memory runs out
    /// (the store is then empty).
    bool assign_bytes(const void *data, u32 size);

    /// The store's bytes (for copying or saving).
    const Array<u8> &bytes() const { return _bytes; }
    u32 free_list() const { return _free_list; }

  private:
    u32 word(u32 offset) const;
    void set_word(u32 offset, u32 value);
    bool is_chunk(u32 offset) const;
    void find_all_in(u32 head, u32 kind, Array<u8 *> &out_addresses, u32 depth, u32 &steps);

    Array<u8> _bytes;
    u32 _free_list = not_found; // offset of the first freed block
};

} // namespace tallow
