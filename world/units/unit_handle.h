#pragma once
// Unit handles: the stable 32-bit references through which everything outside a World
// (scripts, timed events, sound links, the network) refers to a unit.
//
//   UnitHandle handle = unit_handle_table().allocate(unit);   // at spawn
//   Unit *u = unit_handle_table().get(handle);                 // null once destroyed
//   void *script_value = unit_handle_to_script_value(handle);  // odd light userdata
//   unit_handle_table().free(handle);                          // at destruction
//
// A handle is the slot index in the low 16 bits and the slot's generation in the high 16
// bits; 0 is never handed out, so a zero-initialised handle field never names a unit.
// Generations skip 0 when they wrap. The table has 16384 slots for the whole program;
// when all are taken, `allocate` returns 0 (no handle) at once. Main thread only.

#include "foundation/types.h"

namespace tallow {

class Unit;

using UnitHandle = u32;

constexpr UnitHandle null_unit_handle = 0;
constexpr u32 unit_handle_slots = 16384;
constexpr u32 unit_handle_index_mask = unit_handle_slots - 1;

inline u32 unit_handle_index(UnitHandle handle) { return handle & 0xFFFF; }
inline u32 unit_handle_generation(UnitHandle handle) { return handle >> 16; }

/// The table of unit slots {generation, unit}. One global instance serves the engine;
/// tests may make their own.
class UnitHandleTable {
  public:
    UnitHandleTable();

    /// Takes a free slot for `unit` (not null) and returns its handle; 0 when all 16384
    /// slots are in use (logged).
    UnitHandle allocate(Unit *unit);
    /// Frees the handle's slot; every handle of that slot is stale from now on. A stale or
    /// out-of-range handle is ignored.
    void free(UnitHandle handle);
    /// The live unit of `handle`, or null when the handle is 0, stale or out of range.
    Unit *get(UnitHandle handle) const;
    bool is_live(UnitHandle handle) const { return get(handle) != nullptr; }

    /// Handles in use.
    u32 count() const { return _count; }
    /// The slot the next search starts at.
    u32 cursor() const { return _cursor; }
    /// Raw generation of a slot, for tests and tools.
    u16 slot_generation(u32 index) const { return index < unit_handle_slots ? _slots[index].generation : 0; }
    /// Sets a slot's generation (only while the slot is free); tests use it to reach the wrap.
    void set_slot_generation(u32 index, u16 generation);

  private:
    struct Slot {
        u16 generation = 0;
        Unit *unit = nullptr;
    };
    Slot _slots[unit_handle_slots];
    u32 _cursor = 0;
    u32 _count = 0;
};

/// The program's table.
UnitHandleTable &unit_handle_table();

/// The script form of a handle: (generation << 16) | (index << 1) | 1, always odd.
inline void *unit_handle_to_script_value(UnitHandle handle)
{
    uintptr_t value = (uintptr_t(unit_handle_generation(handle)) << 16) |
                      (uintptr_t(unit_handle_index(handle) & unit_handle_index_mask) << 1) | 1u;
    return reinterpret_cast<void *>(value);
}

/// Decodes a script value made by `unit_handle_to_script_value`; 0 for anything that is
/// not one (even, or wider than 32 bits). A decoded handle may still be stale.
inline UnitHandle unit_handle_from_script_value(const void *value)
{
    uintptr_t v = reinterpret_cast<uintptr_t>(value);
    if ((v & 1u) == 0 || v > 0xFFFFFFFFu)
        return null_unit_handle;
    u32 index = u32(v >> 1) & unit_handle_index_mask;
    u32 generation = u32(v >> 16);
    return index | generation << 16;
}

} // namespace tallow
