#pragma once
// Tagged temporary math values handed to scripts as light userdata.
//
//   TempArray<Vector3Temp> vectors(allocator, vector3_tag);
//   Vector3Temp *v = vectors.append();     // null when the frame's limit is reached
//   ...
//   vectors.set_count(0);                                      // every temporary of the frame is dead
//
// Entries live in fixed blocks that are never moved or freed before the array is
// destroyed, so a temporary stays at its address for the whole frame however many
// are made after it. Each entry starts with its kind's tag word; the payload follows.
//
// A value a script keeps past a reset is stale and must not read as a newer one: after a
// reset the live run starts where the last one ended (back at the first slot only when
// the rest of the allocated blocks would not hold another run as long), so a kept value's
// slot is reused only once the allocated slots have all been handed out again.
// An array belongs to one LuaEnvironment and is used by that environment's thread only.

#include "foundation/types.h"

namespace tallow {

class Allocator;

constexpr u32 vector3_tag = 0x02B4DAB5;
constexpr u32 quaternion_tag = 0x3743AF16;
constexpr u32 matrix4x4_tag = 0x7FD2E074;

/// A temporary Vector3: tag, then x, y, z.
struct Vector3Temp {
    u32 tag;
    f32 v[3];
};
/// A temporary Quaternion (also a colour a, r, g, b): tag, then x, y, z, w.
struct QuaternionTemp {
    u32 tag;
    f32 v[4];
};
/// A temporary Matrix4x4: tag, then 16 floats in row order (x axis, y axis, z axis, translation).
struct Matrix4x4Temp {
    u32 tag;
    f32 m[16];
};
static_assert(sizeof(Vector3Temp) == 16);
static_assert(sizeof(QuaternionTemp) == 20);
static_assert(sizeof(Matrix4x4Temp) == 68);

/// Entries reserved up front per kind; making fewer than this per frame never allocates.
constexpr u32 temp_block_entries = 50000;
/// Hard limit of temporaries of one kind between two resets (a runaway script loop
/// gets a Lua error instead of eating memory).
constexpr u32 temp_max_blocks = 20;
constexpr u32 temp_max_entries = temp_block_entries * temp_max_blocks;

class TempArrayBase {
  public:
    TempArrayBase(Allocator &allocator, u32 tag, u32 entry_size);
    ~TempArrayBase();
    TempArrayBase(const TempArrayBase &) = delete;
    TempArrayBase &operator=(const TempArrayBase &) = delete;

    /// Allocates the first block; false when the allocator fails.
    bool reserve();
    /// Appends one tagged entry and returns its address (payload left as it was), or
    /// null when the limit of temp_max_entries is reached or memory runs out.
    void *append();
    /// Number of live entries.
    u32 count() const { return _count; }
    /// Entries that fit without allocating.
    u32 capacity() const { return _block_count * temp_block_entries; }
    /// Sets the live count. Entries added this way get the tag and keep their old payload
    /// (zero for never-used slots). False, and nothing changed, when n is above the limit
    /// or a block cannot be allocated. A count of 0 is a reset: the next run starts after
    /// this one.
    bool set_count(u32 n);
    /// True when `p` is the address of a live entry of this array (no memory is read).
    bool is_live(const void *p) const { return is_live_slow(static_cast<const u8 *>(p)); }
    /// True when `p` is any entry slot of this array, live or not (no memory is read).
    bool contains(const void *p) const;
    u32 tag() const { return _tag; }

  protected:
    bool add_block();
    bool is_live_slow(const u8 *p) const;
    u8 *entry(u32 index) const
    {
        return _blocks[index / temp_block_entries] + u64(index % temp_block_entries) * _entry_size;
    }

    Allocator &_allocator;
    u32 _tag;
    u32 _entry_size;   // bytes per entry, tag included
    u64 _block_bytes;  // _entry_size * temp_block_entries
    u32 _first = 0; // slot index of the first live entry
    u32 _count = 0;
    u32 _block_count = 0;
    u8 *_blocks[temp_max_blocks] = {};
};

/// The array of one entry type: the liveness test every binding makes divides by a
/// constant.
template <typename Entry> class TempArray : public TempArrayBase {
  public:
    TempArray(Allocator &allocator, u32 tag) : TempArrayBase(allocator, tag, sizeof(Entry)) {}

    /// True when `p` is the address of a live entry of this array (no memory is read).
    bool is_live(const void *p) const
    {
        const u8 *b = static_cast<const u8 *>(p);
        if (_block_count > 0 && b >= _blocks[0] && b < _blocks[0] + _block_bytes) {
            u32 offset = u32(b - _blocks[0]); // a block is below 4 GB
            return offset % u32(sizeof(Entry)) == 0 && offset / u32(sizeof(Entry)) - _first < _count;
        }
        return is_live_slow(b);
    }
    Entry *append() { return static_cast<Entry *>(TempArrayBase::append()); }
};

} // namespace tallow
