-- The sample game's boot script. The engine requires it at start-up (the setting
-- "boot_script"), then calls init once, update and render every frame, and shutdown
-- when the program ends.
--
-- The game: a world with a lamp post and a row of crates. Every frame the crates march
-- along x and the door swings; a crate that walks past the end of the yard is destroyed
-- and a fresh one spawned at the start. Once a second the script prints what it sees;
-- after a few seconds it releases the world and quits. Nothing is saved yet.

local run_seconds = 3
local yard_length = 1.5

frames = 0
seconds = 0
local world, lamp, door
local crates = {}
local spawned, destroyed = 0, 0
local next_report = 1

local function spawn_crate(x)
    local crate = World.spawn_unit(world, "units/crate", Vector3(x, 0, 0))
    spawned = spawned + 1
    Unit.set_data(crate, "speed", 0.5 + 0.25 * Math.random(4))
    return crate
end

function init()
    local text = Localizer("boot")
    print("boot: " .. Localizer.lookup(text, "greeting") .. ", init on " .. Application.platform() ..
          ", quitting after " .. run_seconds .. " seconds")

    -- The units live in their own package, loaded whole before the world spawns them.
    units = Application.resource_package("sample_units")
    ResourcePackage.load(units)
    ResourcePackage.flush(units)

    world = Application.new_world()
    lamp = World.spawn_unit(world, "units/lamp_post", Vector3(0, 4, 0))
    door = World.spawn_unit(world, "units/door", Vector3(3, 4, 0), Quaternion(Vector3.up(), 0))
    for i = 1, 3 do
        crates[i] = spawn_crate(-i)
    end
    World.set_data(world, "name", "the yard")
    print("boot: " .. World.get_data(world, "name") .. " holds " .. World.num_units(world) .. " units: " ..
          tostring(lamp) .. " (top node " .. Unit.node(lamp, "top") .. " at " ..
          tostring(Unit.world_position(lamp, Unit.node(lamp, "top"))) .. "), " .. tostring(door) .. " and " ..
          #crates .. " crates")
end

function update(dt)
    frames = frames + 1
    seconds = seconds + dt
    for i, crate in ipairs(crates) do
        local p = Unit.local_position(crate, 0)
        p.x = p.x + Unit.get_data(crate, "speed") * dt
        Unit.set_local_position(crate, 0, p)
        if p.x > yard_length then
            World.destroy_unit(world, crate)
            destroyed = destroyed + 1
            crates[i] = spawn_crate(-1)
        end
    end
    Unit.set_local_rotation(door, 0, Quaternion(Vector3.up(), math.sin(seconds) * 1.2))
    World.update(world, dt)

    if seconds >= next_report then
        next_report = next_report + 1
        local lead = crates[1]
        print(string.format("boot: %.0f s, frame %d: %d units, %d crates spawned, %d destroyed; lead %s at %s, door turned to %s",
                            seconds, frames, World.num_units(world), spawned, destroyed, tostring(lead),
                            tostring(Unit.world_position(lead, 0)), tostring(Unit.world_rotation(door, 0))))
    end
    if seconds >= run_seconds and not quitting then
        quitting = true
        print("boot: " .. run_seconds .. " seconds done, quitting")
        Application.quit()
    end
end

function render()
end

-- The level script of the sample level (data/levels/sample.level): its flow graph calls
-- this table's methods.
LevelScript = {}
function LevelScript:crate_landed(crate)
    print("boot: the sample level's crate has landed")
end

function shutdown()
    local kept = crates[1]
    Application.release_world(world)
    print("boot: world released; a kept crate reference now reads " .. tostring(kept) ..
          ", alive: " .. tostring(Unit.alive(kept)))
    Application.release_resource_package(units)
    print("boot: " .. Localizer.lookup(Localizer("boot"), "farewell") .. " after " .. frames .. " frames")
end
