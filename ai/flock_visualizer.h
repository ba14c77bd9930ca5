#pragma once
// Shows a large flock with few animated units: 15 template units (5 phases x 3 speed bands)
// are animated as usual, and each of the nearest agents gets a plain visual unit whose pose
// is copied from the template matching its speed and phase.
//
//   FlockVisualizer view(allocator, world, flock, 0);      // agents from index 0 on
//   view.add_unit(NameId64("units/walker_high"), {});     // one visual unit per call:
//   view.add_unit(NameId64("units/walker_low"), {});      //   the k-th goes to depth rank k
//   view.set_templates(template_handles, 15);
//   view.set_camera(eye, view_direction);
//   view.visualize(dt);                                   // after Flock::update
//
// Each frame the shown agents are sorted nearest first (agents behind the camera late); the
// agent at depth rank r gets a visual unit of the type the r-th add_unit call spawned, kept
// from frame to frame while its rank wants that type (units move between agents, they are
// not spawned again). Agents beyond the unit count get none. An agent found holding (mode 0)
// is switched to removed and its unit hidden, as a walker that reached its goal leaves the
// scene; a script that shows agents before giving them a mode should not hold them.
// The root node of a visual unit takes the agent's heading, up and position (its axes scaled
// by up to +-10 % by agent index, so a crowd varies); the other nodes blend over a quarter
// second from their own pose to the template's, then copy it (nodes both units have).
// Units are held by handle: units the script destroyed are skipped, never touched.
// Main thread only, like the World.
//
// Below the class, the pure pieces it uses: the speed band with hysteresis and the depth key.

#include "foundation/containers/array.h"
#include "foundation/math/vector3.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/strings/name_id.h"
#include "foundation/types.h"
#include "world/units/unit_handle.h"

namespace tallow {

class Flock;
class World;

constexpr u32 flock_speed_band_count = 3;
constexpr u32 flock_phase_count = 5;

constexpr u32 flock_template_count = 15;

class FlockVisualizer {
  public:
    FlockVisualizer(Allocator &parent, World &world, Flock &flock, u32 first_agent);
    /// Destroys the visual units that still live.
    ~FlockVisualizer();
    FlockVisualizer(const FlockVisualizer &) = delete;
    FlockVisualizer &operator=(const FlockVisualizer &) = delete;

    /// Spawns a visual unit (hidden until an agent gets it) for the next depth rank; false,
    /// logged, when it cannot be spawned.
    bool add_unit(NameId64 unit_name, NameId64 material);
    void clear_units();
    /// Takes exactly 15 template units (phase + 5 x band) and hides them; false when the count
    /// is not 15 or a unit does not live. Their animation is the world's: the phases come from
    /// their own state machines (no variables are set here).
    bool set_templates(const UnitHandle *templates, u32 count);
    void set_camera(const Vector3 &position, const Vector3 &direction);
    void visualize(f32 dt);

    u32 unit_count() const { return _units.size(); }
    UnitHandle unit(u32 slot) const { return _units[slot].unit; }
    /// The visual slot showing `agent`, or -1.
    i32 slot_of(u32 agent) const { return agent < _agent_slot.size() ? _agent_slot[agent] : -1; }
    u32 template_of(u32 agent) const { return agent < _agent_template.size() ? _agent_template[agent] : 0; }

  private:
    struct Slot {
        UnitHandle unit;
        NameId64 name;
        f32 blend; // 0 to 1: how far the nodes have blended to the template
        i32 agent; // -1: free
    };
    void hide(UnitHandle unit);
    void pose_unit(u32 agent, Slot &slot, f32 dt, bool template_changed);

    TraceAllocator _allocator;
    World &_world;
    Flock &_flock;
    u32 _first_agent;
    Array<Slot> _units;
    Array<i32> _agent_slot;
    Array<u32> _agent_band;
    Array<u32> _agent_template;
    Array<u32> _order; // shown agents, nearest first
    UnitHandle _templates[flock_template_count] = {};
    bool _has_templates = false;
    Vector3 _camera;
    Vector3 _view{0, 1, 0};
};

/// The next band (0 to 2) from the current one and the scaled speed s = |velocity| x 0.2:
/// from 0, above 0.75 gives 2, else above 0.15 gives 1; from 1, below 0.05 gives 0 and above
/// 0.4 gives 2; from 2, below 0.1 gives 0 and below 0.3 gives 1; otherwise it stays. A band
/// out of range counts as 0; a NaN speed keeps the band.
u32 flock_speed_band(u32 band, f32 s);

/// |agent - camera|^2, or 2 x that + 100 when the agent lies behind the camera (its offset
/// against the view direction).
f32 flock_depth_key(const Vector3 &agent, const Vector3 &camera, const Vector3 &view_direction);

} // namespace tallow
