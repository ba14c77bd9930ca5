-- A minimal game: a lit floor, a box that falls onto it, a camera and a line of text. It
-- quits by itself after three seconds of simulated time, saying where the box came to rest.

local world, camera, viewport, shading, gui, box
local seconds = 0

function init()
    world = Application.new_world()
    viewport = Application.create_viewport(world, "default")
    shading = World.create_shading_environment(world)
    World.spawn_unit(world, "units/floor")
    box = World.spawn_unit(world, "units/box", Vector3(0, 0, 3))
    -- The camera unit looks along its node's y axis: back 8 m, up 3 m, tilted down.
    local eye = World.spawn_unit(world, "units/camera", Vector3(0, -8, 3), Quaternion(Vector3(1, 0, 0), -0.3))
    camera = Unit.camera(eye, "eye")
    gui = World.create_screen_gui(world, "material", "materials/gui")
    Gui.text(gui, "a minimal game", "fonts/minimal", 24, "gui_text", Vector3(16, 16, 1))
    print("minimal: started")
end

function update(dt)
    World.update(world, dt)
    -- The physics world simulates at most 1/60 s a frame (four steps of 1/240 s), so on a slow
    -- machine three seconds of play hold less than three seconds of falling: count what it ran.
    seconds = seconds + math.min(dt, 1 / 60)
    if seconds >= 3 then
        print("minimal: the box rests at " .. tostring(Unit.world_position(box, 0)))
        Application.quit()
    end
end

function render()
    Application.render_world(world, camera, viewport, shading)
end

function shutdown()
    Application.release_world(world)
end
