#include "ai/broadphase.h"

#include "foundation/log.h"

#include <cmath>

namespace tallow {

namespace {

bool finite(const Vector3 &v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// floor(v / cell) as a whole number, kept inside i64 for any finite input.
i64 unwrapped_cell(f32 v, f32 cell)
{
    const double c = std::floor(double(v) / double(cell));
    if (c < -4.0e18)
        return i64(-4.0e18);
    if (c > 4.0e18)
        return i64(4.0e18);
    return i64(c);
}

u32 wrap(i64 c, u32 grid)
{
    i64 m = c % i64(grid);
    if (m < 0)
        m += grid;
    return u32(m);
}

u64 key_of(u32 cx, u32 cy) { return u64(cy) << 32 | cx; }

} // namespace

Broadphase::Broadphase(Allocator &allocator, f32 max_radius, u32 expected_count)
    : _objects(allocator), _used(allocator), _cell_of(allocator), _free_objects(allocator), _cells(allocator),
      _free_cells(allocator), _oversize(allocator), _cell_map(allocator)
{
    // A cell size of 0 divides by zero on every filing: refused.
    if (std::isfinite(max_radius) && max_radius > 0.0f && std::isfinite(2.0f * max_radius)) {
        _cell_size = 2.0f * max_radius;
        _max_radius = max_radius;
    } else {
        log_message("ai", "broadphase: the largest radius must be a finite number above 0 (got %g)", double(max_radius));
    }
    const i32 g = i32(std::pow(f64(i32(expected_count / 10)), 0.77));
    _grid_size = g < 2 ? 1 : u32(g);
}

u32 Broadphase::cell_coordinate(f32 v) const { return wrap(unwrapped_cell(v, _cell_size), _grid_size); }

u64 Broadphase::cell_key(const Vector3 &p, f32 radius) const
{
    return key_of(cell_coordinate(p.x - radius), cell_coordinate(p.y - radius));
}

u32 Broadphase::find_or_create_cell(u64 key)
{
    const u32 found = _cell_map.find(key);
    if (found != _cell_map.no_entry)
        return _cell_map.value(found);
    u32 cell;
    if (!_free_cells.empty()) {
        cell = _free_cells.back();
        _free_cells.resize(_free_cells.size() - 1);
    } else {
        cell = _cells.size();
        _cells.resize(cell + 1);
        if (_cells.size() != cell + 1)
            return broadphase_no_slot;
    }
    _cell_map[key] = cell;
    return cell;
}

u32 Broadphase::add(u32 id, const Vector3 &position, f32 radius)
{
    if (!is_valid() || !finite(position) || !std::isfinite(radius) || radius < 0.0f)
        return broadphase_no_slot;
    u32 slot;
    if (!_free_objects.empty()) {
        slot = _free_objects.back();
    } else {
        slot = _objects.size();
        _objects.resize(slot + 1), _used.resize(slot + 1), _cell_of.resize(slot + 1);
        if (_objects.size() != slot + 1 || _used.size() != slot + 1 || _cell_of.size() != slot + 1)
            return broadphase_no_slot;
    }
    u32 cell = broadphase_no_slot;
    if (radius > _max_radius) {
        // Queries reach only one cell below their range, so a larger object could be missed
        // in a cell: it is kept in a list every query checks instead.
        if (!_oversize.push_back(slot))
            return broadphase_no_slot;
    } else {
        cell = find_or_create_cell(cell_key(position, radius));
        if (cell == broadphase_no_slot || !_cells[cell].push_back(slot))
            return broadphase_no_slot;
    }
    if (!_free_objects.empty() && _free_objects.back() == slot)
        _free_objects.resize(_free_objects.size() - 1);
    _objects[slot] = {id, position, radius};
    _used[slot] = 1;
    _cell_of[slot] = cell;
    ++_count;
    return slot;
}

void Broadphase::unlink(u32 slot)
{
    const u32 cell = _cell_of[slot];
    Array<u32> &list = cell == broadphase_no_slot ? _oversize : _cells[cell];
    for (u32 i = 0; i < list.size(); ++i)
        if (list[i] == slot) {
            for (u32 j = i + 1; j < list.size(); ++j)
                list[j - 1] = list[j];
            list.resize(list.size() - 1);
            break;
        }
}

bool Broadphase::move(u32 slot, const Vector3 &position)
{
    if (!is_used(slot) || !finite(position))
        return false;
    BroadphaseObject &o = _objects[slot];
    if (_cell_of[slot] != broadphase_no_slot) {
        const u64 old_key = cell_key(o.position, o.radius);
        const u64 new_key = cell_key(position, o.radius);
        if (old_key != new_key) {
            const u32 cell = find_or_create_cell(new_key);
            if (cell == broadphase_no_slot || !_cells[cell].push_back(slot))
                return false;
            unlink(slot); // the old cell stays in the map, even when empty
            _cell_of[slot] = cell;
        }
    }
    o.position = position;
    return true;
}

bool Broadphase::remove(u32 slot)
{
    if (!is_used(slot))
        return false;
    const u32 cell = _cell_of[slot];
    unlink(slot);
    if (cell != broadphase_no_slot && _cells[cell].empty()) {
        _cell_map.erase(cell_key(_objects[slot].position, _objects[slot].radius));
        _free_cells.push_back(cell);
    }
    _used[slot] = 0;
    _free_objects.push_back(slot);
    --_count;
    return true;
}

void Broadphase::test_cell(u64 key, const Vector3 &point, f32 radius, Array<BroadphaseObject> &out) const
{
    const u32 found = _cell_map.find(key);
    if (found == _cell_map.no_entry)
        return;
    for (u32 slot : _cells[_cell_map.value(found)]) {
        const BroadphaseObject &o = _objects[slot];
        if (length(o.position - point) < o.radius + radius)
            out.push_back(o);
    }
}

void Broadphase::query(const Vector3 &point, f32 radius, Array<BroadphaseObject> &out) const
{
    if (!is_valid() || !finite(point) || !std::isfinite(radius))
        return;
    // Unwrapped cell numbers: a range as wide as the grid visits every column once (walking
    // the wrapped numbers from start to end would visit none when they meet).
    const i64 x0 = unwrapped_cell(point.x - radius, _cell_size) - 1, x1 = unwrapped_cell(point.x + radius, _cell_size);
    const i64 y0 = unwrapped_cell(point.y - radius, _cell_size) - 1, y1 = unwrapped_cell(point.y + radius, _cell_size);
    const bool all_x = x1 - x0 + 1 >= i64(_grid_size), all_y = y1 - y0 + 1 >= i64(_grid_size);
    const u32 nx = all_x ? _grid_size : u32(x1 - x0 + 1), ny = all_y ? _grid_size : u32(y1 - y0 + 1);
    const u32 sx = all_x ? 0 : wrap(x0, _grid_size), sy = all_y ? 0 : wrap(y0, _grid_size);
    for (u32 i = 0; i < nx; ++i) {
        const u32 cx = (sx + i) % _grid_size;
        for (u32 j = 0; j < ny; ++j)
            test_cell(key_of(cx, (sy + j) % _grid_size), point, radius, out);
    }
    for (u32 slot : _oversize) {
        const BroadphaseObject &o = _objects[slot];
        if (length(o.position - point) < o.radius + radius)
            out.push_back(o);
    }
}

} // namespace tallow
