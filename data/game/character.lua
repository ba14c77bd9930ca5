-- The player's character (units/character.unit): its mover walks it through the physics
-- world, falling when nothing holds it up, and its unit follows the mover's feet, turned to
-- face where it walks. Crates it walks into are pushed along: the mover's body shoves what
-- it walks into, and the script also gives the crate ahead the character's speed, square
-- to its path, so a pushed crate slides straight and upright.

local character = {}

character.speed = 3 -- metres per second
local fall_speed = 6 -- metres per second, whenever the ground does not hold it up
local radius = 0.35 -- the mover's, from units/character.unit
local crate_half = 0.5 -- units/crate.unit's box
local push_reach = radius + crate_half + 0.2
local push_width = crate_half + 0.3

local world, unit, mover
local last_x, last_y, last_z = 0, 0, 0 -- the feet when last seen, for after the unit is gone
local facing = 0 -- radians about z, 0 facing east
local pushing = {} -- units pushed this frame

-- Spawns the character with its feet at `feet`.
function character.spawn(in_world, feet)
    world = in_world
    unit = World.spawn_unit(world, "units/character", feet)
    mover = Unit.mover(unit)
    return unit
end

function character.unit()
    return unit
end

-- Replaces the character's unit by `other` (a unit of units/character, already spawned,
-- for instance by the network's unit synchronizer) where the character stands.
function character.adopt(other)
    local feet = Mover.position(mover)
    World.destroy_unit(world, unit)
    unit = other
    mover = Unit.mover(unit)
    character.place(feet)
end

-- The feet: x, y, z. Once the unit is gone (a network game that ended took the unit it
-- synchronised with it), where they were last seen.
function character.position()
    if unit and Unit.alive(unit) then
        local p = Mover.position(mover)
        last_x, last_y, last_z = p.x, p.y, p.z
    end
    return last_x, last_y, last_z
end

-- Puts the feet at `feet` (a Vector3) at once.
function character.place(feet)
    Mover.set_position(mover, feet)
    Unit.set_local_position(unit, 0, Mover.position(mover))
end

-- Whether `crate` is a crate that falls and can be pushed (not one the script drives).
local function pushable(crate)
    if not Unit.is_a(crate, "units/crate") then
        return nil
    end
    local actor = Unit.actor(crate, "crate")
    return actor and Actor.is_physical(actor) and actor
end

-- Gives the crates right ahead of the feet (x, y), walking along (ux, uy), the velocity v.
local function push(x, y, ux, uy, v)
    pushing = {}
    for _, other in ipairs(World.units(world)) do
        local actor = pushable(other)
        if actor then
            local c = Unit.world_position(other, 0)
            local rx, ry = c.x - x, c.y - y
            local along = rx * ux + ry * uy
            if along > 0 and along < push_reach and math.abs(rx * uy - ry * ux) < push_width then
                -- Slid along upright: pushed at its middle, a crate does not tip over.
                local velocity = Actor.velocity(actor)
                Actor.wake_up(actor)
                Actor.set_velocity(actor, Vector3(ux * v, uy * v, math.min(velocity.z, 0)))
                Actor.set_angular_velocity(actor, Vector3(0, 0, 0))
                pushing[#pushing + 1] = other
            end
        end
    end
end

-- Walks by (dx, dy) of full speed (at most 1 long) for dt seconds.
function character.walk(dx, dy, dt)
    local length = math.sqrt(dx * dx + dy * dy)
    Mover.move(mover, Vector3(dx * character.speed * dt, dy * character.speed * dt, -fall_speed * dt))
    local feet = Mover.position(mover)
    last_x, last_y, last_z = feet.x, feet.y, feet.z
    Unit.set_local_position(unit, 0, feet)
    if length > 0.01 then
        facing = math.atan2(dy, dx)
        push(feet.x, feet.y, dx / length, dy / length, length * character.speed)
    else
        pushing = {}
    end
    Unit.set_local_rotation(unit, 0, Quaternion(Vector3.up(), facing))
end

-- The crates pushed this frame.
function character.pushing()
    return pushing
end

function character.standing()
    return Mover.standing(mover)
end

return character
