-- The sample game's boot script. The engine requires it at start-up (the setting
-- "boot_script"), then calls init once, update and render every frame, and shutdown
-- when the program ends.

local quit_after_frames = 300

frames = 0

function init()
    print("boot: init on " .. Application.platform() .. ", quitting after " .. quit_after_frames .. " frames")
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

function shutdown()
    print("boot: shutdown after " .. frames .. " frames")
end
