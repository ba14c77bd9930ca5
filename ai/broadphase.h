#pragma once
// A loose uniform grid in the x-y plane that answers which objects lie within a radius of a
// point, for objects that move every frame. Cells wrap modulo a fixed grid size and live
// sparsely in a hash map; every object is filed under the cell of its lower corner
// (x - radius, y - radius).
//
//   Broadphase grid(allocator, 2.0f, 1000);        // largest radius, expected object count
//   u32 slot = grid.add(unit_id, position, 1.5f);
//   grid.move(slot, new_position);
//   Array<BroadphaseObject> found(temp);
//   grid.query(point, 5.0f, found);                // appends every object it touches
//   grid.remove(slot);
//
// A query returns every object whose distance from the point (3D) is below its radius plus
// the query's, whatever the grid size: a range that covers the whole grid visits every cell
// once, and objects larger than the maximum radius are kept in a list every query checks.
// Positions must be finite (add and move refuse others). Not thread-safe; one owner.

#include "foundation/containers/array.h"
#include "foundation/containers/hash_map.h"
#include "foundation/math/vector3.h"
#include "foundation/types.h"

namespace tallow {

struct BroadphaseObject {
    u32 id; // the caller's value (a unit handle)
    Vector3 position;
    f32 radius;
};

constexpr u32 broadphase_no_slot = 0xFFFFFFFFu;

class Broadphase {
  public:
    /// `max_radius` must be finite and above 0 (else is_valid() is false and adds fail);
    /// cell size 2 x max_radius; grid size (int)pow((int)(expected_count / 10), 0.77), at
    /// least 1.
    Broadphase(Allocator &allocator, f32 max_radius, u32 expected_count);

    bool is_valid() const { return _cell_size > 0.0f; }
    f32 cell_size() const { return _cell_size; }
    u32 grid_size() const { return _grid_size; }
    u32 object_count() const { return _count; }
    u32 cell_count() const { return _cell_map.size(); }

    /// The slot (last freed first); broadphase_no_slot when the position or radius is not
    /// finite, the radius is negative, the grid is invalid or memory runs out.
    u32 add(u32 id, const Vector3 &position, f32 radius);
    /// False (nothing changes) for a slot not in use or a position that is not finite.
    bool move(u32 slot, const Vector3 &position);
    /// False for a slot not in use (a double remove changes nothing).
    bool remove(u32 slot);
    /// Appends every object touching the sphere: cell order, then list order; objects above
    /// the maximum radius last.
    void query(const Vector3 &point, f32 radius, Array<BroadphaseObject> &out) const;

    bool is_used(u32 slot) const { return slot < _objects.size() && _used[slot]; }
    const BroadphaseObject &object(u32 slot) const { return _objects[slot]; }
    /// The cell index a slot is filed in (tests); broadphase_no_slot for an oversize one.
    u32 cell_of(u32 slot) const { return _cell_of[slot]; }

  private:
    u32 cell_coordinate(f32 v) const;
    u64 cell_key(const Vector3 &position, f32 radius) const;
    u32 find_or_create_cell(u64 key);
    void unlink(u32 slot);
    void test_cell(u64 key, const Vector3 &point, f32 radius, Array<BroadphaseObject> &out) const;

    f32 _cell_size = 0;
    f32 _max_radius = 0;
    u32 _grid_size = 1;
    u32 _count = 0;
    Array<BroadphaseObject> _objects;
    Array<u8> _used;
    Array<u32> _cell_of;
    Array<u32> _free_objects;
    Array<Array<u32>> _cells;
    Array<u32> _free_cells;
    Array<u32> _oversize; // slots of objects above the maximum radius
    HashMap<u64, u32> _cell_map;
};

} // namespace tallow
