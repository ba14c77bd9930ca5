-- The door (units/door.unit): its state machine swings it open when the character comes
-- within `open_radius` and shut again once it is beyond `close_radius`. Opening rings the
-- chime at the door (a positioned sound, heard within 20 m) and throws sparks there.

local door = {}

local open_radius = 3
local close_radius = 4

local world, unit
local x, y, z -- where it stands
local open = false
local swings = 0

function door.spawn(in_world, px, py, pz)
    world = in_world
    x, y, z = px, py, pz
    unit = World.spawn_unit(world, "units/door", Vector3(x, y, z))
    return unit
end

function door.unit()
    return unit
end

function door.is_open()
    return open
end

-- Opens or shuts the door for a character whose feet stand at (cx, cy).
function door.update(cx, cy)
    local d = math.sqrt((cx - x) ^ 2 + (cy - y) ^ 2)
    if not open and d < open_radius then
        open = true
        swings = swings + 1
        Unit.animation_event(unit, "open")
        local chime = World.play_sound(world, "sounds/chime", false, 20, Vector3(x, y, z + 1))
        local sparks = World.create_particles(world, "effects/sparks", Vector3(x, y, z + 1))
        print(string.format("boot: the character is %.1f m from the door: it opens (chime sound %d, sparks effect %d)",
                            d, chime, sparks))
    elseif open and d > close_radius then
        open = false
        Unit.animation_event(unit, "close")
        print(string.format("boot: the character is %.1f m from the door: it shuts", d))
    end
end

-- The door's state machine reports the end of a swing (through its flow graph).
function door.swung(opened)
    print("boot: the door's state machine reports it " .. (opened and "open" or "shut"))
end

-- The hinge's turn about z in degrees (0 shut, 90 open).
function door.angle()
    local _, _, qz, qw = Quaternion.to_elements(Unit.local_rotation(unit, Unit.node(unit, "hinge")))
    if qw < 0 then
        qz, qw = -qz, -qw -- the same turn
    end
    local degrees = math.deg(2 * math.atan2(qz, qw))
    return math.abs(degrees) < 0.5 and 0 or degrees
end

return door
