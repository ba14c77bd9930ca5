-- The yard's scoring: a painted zone on the floor (units/zone.unit) and the crates the
-- character can push into it. The score is the number of crates standing in the zone.

local yard = {}

-- The zone: its centre and half its side, on the floor.
yard.zone = {x = 6.5, y = -2, half = 2}

local world
local score = 0

-- Paints the zone and sets out the crates to push: one right in front of the character's
-- start, two more about the yard.
function yard.init(in_world)
    world = in_world
    World.spawn_unit(world, "units/zone", Vector3(yard.zone.x, yard.zone.y, 0))
    for _, p in ipairs({{2, -2}, {-0.5, -5.5}, {4, 2}}) do
        World.spawn_unit(world, "units/crate", Vector3(p[1], p[2], 0.55))
    end
end

-- Whether (x, y) lies in the zone.
function yard.in_zone(x, y)
    local z = yard.zone
    return math.abs(x - z.x) < z.half and math.abs(y - z.y) < z.half
end

-- Counts the crates (that fall and can be pushed) in the zone; tells when the score changes.
function yard.update()
    local count = 0
    for _, unit in ipairs(World.units(world)) do
        if Unit.is_a(unit, "units/crate") then
            local actor = Unit.actor(unit, "crate")
            local p = Unit.world_position(unit, 0)
            if actor and Actor.is_physical(actor) and yard.in_zone(p.x, p.y) then
                count = count + 1
            end
        end
    end
    if count ~= score then
        print(string.format("boot: %s: score %d", count > score and "a crate is pushed into the zone" or
                            "a crate left the zone", count))
        score = count
    end
    return score
end

function yard.score()
    return score
end

return yard
