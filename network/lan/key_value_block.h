#pragma once
// The key/value block of LAN lobbies: NUL-terminated key, NUL-terminated value, pair after
// pair. The bytes may come from the network, so every read is bounded by the block's size:
// a pair cut short (no NUL before the end) ends the block for readers.
//
//   KeyValueBlock data(allocator);
//   data.set("map", "yard");              // true: the block changed
//   const char *map = data.get("map");    // "yard"; null for a key not set
//   for (const char *k = data.next_key(nullptr); k; k = data.next_key(k)) ...

#include "foundation/containers/array.h"

namespace tallow::network {

/// The largest block a lobby keeps (lobby data or one member's data): 64 chunks of 1024.
constexpr u32 lan_max_block_bytes = 64 * 1024;

class KeyValueBlock {
  public:
    explicit KeyValueBlock(Allocator &allocator) : _bytes(allocator) {}

    /// The value of the first pair with `key`, or null.
    const char *get(const char *key) const;
    /// Stores the pair (removing the old one) unless the value is the same; true when the
    /// block changed. False too when the block would pass lan_max_block_bytes (logged).
    bool set(const char *key, const char *value);
    /// The key after `key` (a pointer this block returned), the first for null; null at
    /// the end.
    const char *next_key(const char *key) const;
    /// Value of the pair whose key `key` points at (from next_key).
    const char *value_of(const char *key) const;

    /// Stores a received chunk of a block of `total` bytes at 1024 x index. False (nothing
    /// stored) when the chunk is not the one that place holds: its length must be
    /// min(1024, total - 1024 x index), and total at most lan_max_block_bytes.
    bool store_chunk(u32 total, u32 index, const u8 *bytes, u32 size);
    u64 hash() const;
    u32 size() const { return _bytes.size(); }
    const u8 *data() const { return reinterpret_cast<const u8 *>(_bytes.data()); }
    void clear() { _bytes.clear(); }

  private:
    // The end of the NUL-terminated string at `at`, past its NUL, or 0 when cut short.
    u32 string_end(u32 at) const;

    Array<char> _bytes;
};

} // namespace tallow::network
