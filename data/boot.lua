-- The sample game's boot script. The engine requires it at start-up (the setting
-- "boot_script"), then calls init once, update and render every frame, and shutdown
-- when the program ends.

local quit_after_frames = 300

frames = 0

function init()
    local text = Localizer("boot")
    print("boot: " .. Localizer.lookup(text, "greeting") .. ", init on " .. Application.platform() ..
          ", quitting after " .. quit_after_frames .. " frames")

    -- Engine math: every result is a temporary that lives until the end of the frame.
    local v = Vector3(1, 2, 3) + Vector3.up() * 2
    local pose = Matrix4x4.from_axes(Vector3.forward(), Vector3.left(), Vector3.up(), Vector3(0, 0, 1))
    print("boot:", v, "turned a quarter about z and raised by 1 is", Matrix4x4.transform(pose, v))
    local t = Math.ray_box_intersection(Vector3(0, -10, 0), Vector3.forward(), Matrix4x4.identity(), Vector3(1, 1, 1))
    print("boot: a ray from 10 m away meets the unit box at t = " .. tostring(t) .. ", a die shows " .. Math.random(6))
end

function update(dt)
    frames = frames + 1
    if frames == quit_after_frames then
        print("boot: " .. frames .. " frames done, quitting")
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
    print("boot: " .. Localizer.lookup(Localizer("boot"), "farewell") .. " after " .. frames .. " frames")
end
