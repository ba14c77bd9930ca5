#include "world/units/unit_handle.h"

#include "foundation/assert.h"
#include "foundation/log.h"

namespace tallow {

UnitHandleTable::UnitHandleTable() = default;

UnitHandle UnitHandleTable::allocate(Unit *unit)
{
    TALLOW_ASSERT(unit, "allocating a unit handle for no unit");
    if (!unit)
        return null_unit_handle;
    // The live count bounds the search: without it a full table would be scanned forever.
    if (_count >= unit_handle_slots) {
        log_message("world", "unit handle table full (%u units); destroy units before spawning more",
                    unit_handle_slots);
        return null_unit_handle;
    }
    u32 index = _cursor & unit_handle_index_mask;
    while (_slots[index].unit)
        index = (index + 1) & unit_handle_index_mask;
    Slot &slot = _slots[index];
    ++slot.generation;
    // Generation 0 would make handle 0 (every zeroed handle field) name slot 0's unit.
    if (slot.generation == 0)
        slot.generation = 1;
    slot.unit = unit;
    ++_count;
    _cursor = (index + 1) & unit_handle_index_mask;
    return index | u32(slot.generation) << 16;
}

void UnitHandleTable::free(UnitHandle handle)
{
    u32 index = unit_handle_index(handle);
    if (index >= unit_handle_slots || !get(handle))
        return;
    _slots[index].unit = nullptr;
    --_count;
}

Unit *UnitHandleTable::get(UnitHandle handle) const
{
    u32 index = unit_handle_index(handle);
    if (index >= unit_handle_slots)
        return nullptr;
    const Slot &slot = _slots[index];
    // A freed slot keeps its generation, so the pointer test is what makes it stale.
    if (!slot.unit || slot.generation != unit_handle_generation(handle))
        return nullptr;
    return slot.unit;
}

void UnitHandleTable::set_slot_generation(u32 index, u16 generation)
{
    if (index < unit_handle_slots && !_slots[index].unit)
        _slots[index].generation = generation;
}

UnitHandleTable &unit_handle_table()
{
    static UnitHandleTable table;
    return table;
}

} // namespace tallow
