-- The sample game's boot script. The engine requires it at start-up (the setting
-- "boot_script"), then calls init once, update and render every frame, and shutdown
-- when the program ends.
--
-- The game: a world with the sample level (data/levels/sample.level), which places a lamp
-- post and, once loaded, drops a crate and tells this script two seconds later. The script
-- adds a door and a row of crates; every frame the crates march along x and the door
-- swings while its leaf opens with its simple animation; a crate that walks past the end of the yard is destroyed and a fresh one spawned
-- at the start; wind blows throughout and a chime rings at the door. A weathervane sways
-- under its animation state machine until the script sends it a gust half a second in: it
-- crossfades into a spin, tells the level script through its flow graph, and calms back
-- into its sway. Once a second the
-- script prints what it sees; after a few seconds, once
-- the level's event has been heard, it releases the world and quits. On quit it saves where
-- the player crate stands and how many runs there have been (data/saved_game.lua); the next
-- start puts the player crate back there.
--
-- A small flock walks the level's navigation mesh: four walkers follow a path round the yard
-- and up the ramp, a fifth follows the first, and a crate shows each of them; the once-a-second
-- line tells where the lead walker is and how many walkers stand close together.
--
-- Everything stands on a floor: the level's crate and a stack of two fall onto it and rest,
-- the crates the script moves (marching, walking, the player's) are kinematic and push what
-- they meet, and a raycast from Lua looks down on the stack after a second.
--
-- Every frame it draws debug lines (axes at the origin, a ring round the player crate, a box
-- round the door) and prints a status line in the sample font.
--
-- A player crate stands at (0, -2, 0): WASD or the arrow keys move it at 2 m/s. Once a key
-- has moved it, the game no longer quits by itself: Esc (or closing the window) ends it.

local run_seconds = 3
local yard_length = 1.5

frames = 0
seconds = 0
local world, level, door, dropped
local physics, physics_properties, probe, probed
local gusted = false
local crates = {}
local spawned, destroyed = 0, 0
local next_report = 1
local heard = false
local move_speed = 2 -- metres per second
local move_keys -- button indices of the keyboard, by direction (filled in init)
local interactive = false
local flock
local walkers = {} -- {agent = flock agent index, unit = the crate that shows it}

-- Makes a crate the script moves: its actor follows the node, pushing what it meets.
local function drive(crate)
    local actor = Unit.actor(crate, "crate")
    if actor then
        PhysicsWorld.set_kinematic(physics, actor)
    end
end

local function spawn_crate(x)
    local crate = World.spawn_unit(world, "units/crate", Vector3(x, 0, 1))
    spawned = spawned + 1
    Unit.set_data(crate, "speed", 0.5 + 0.25 * Math.random(4))
    drive(crate)
    return crate
end

-- The level script of the sample level: its flow graph calls this table's methods.
LevelScript = {}
function LevelScript:spawn_unit(unit)
    print("boot: the level's flow spawned " .. tostring(unit))
end
function LevelScript:vane_spun(unit)
    print(string.format("boot: the weathervane %s spun (its state machine's event, through its flow graph, " ..
                        "after %.1f s)", tostring(unit), seconds))
end
function LevelScript:crate_landed(crate)
    heard = true
    print("boot: flow event heard: the sample level's crate has landed (" .. tostring(crate) .. ", after " ..
          string.format("%.1f", seconds) .. " s)")
end

-- Whether any of the keys (button indices) is held this frame.
local function held(keys)
    for _, key in ipairs(keys) do
        if Keyboard.button(key) > 0 then
            return true
        end
    end
    return false
end

-- Moves the player crate by the held direction keys.
local function move_player(dt)
    local dx = (held(move_keys.right) and 1 or 0) - (held(move_keys.left) and 1 or 0)
    local dy = (held(move_keys.forward) and 1 or 0) - (held(move_keys.back) and 1 or 0)
    if dx == 0 and dy == 0 then
        return
    end
    local p = Unit.local_position(player, 0)
    p.x = p.x + dx * move_speed * dt
    p.y = p.y + dy * move_speed * dt
    Unit.set_local_position(player, 0, p)
    if not interactive then
        interactive = true
        print("boot: the keyboard moves the player crate; the game runs until Esc")
    end
end

require("saved_game")
runs = 1

-- Puts the player crate where the last run left it.
local function restore(state)
    if not state then
        return
    end
    runs = state.runs + 1
    Unit.set_local_position(player, 0, state.player)
    print("boot: restored the saved game: run " .. runs .. ", the player crate back at " .. tostring(state.player))
end

function init()
    local text = Localizer("boot")
    print("boot: " .. Localizer.lookup(text, "greeting") .. ", init on " .. Application.platform() ..
          ", quitting after " .. run_seconds .. " seconds")
    local width, height = Application.resolution()
    print("boot: back buffer " .. width .. "x" .. height .. ", " .. #Application.enum_display_modes() ..
          " display modes")

    -- The physics templates come first: units find them when they spawn.
    physics_properties = Application.resource_package("sample_physics")
    ResourcePackage.load(physics_properties)
    ResourcePackage.flush(physics_properties)
    -- The units and the level live in their own package, loaded whole before use.
    units = Application.resource_package("sample_units")
    ResourcePackage.load(units)
    ResourcePackage.flush(units)

    world = Application.new_world()
    -- Drawn into the render configuration's "default" viewport with the sample's shading
    -- environment (data/shading_environments/default.shading_environment).
    viewport = Application.create_viewport(world, "default")
    shading = World.create_shading_environment(world)
    ShadingEnvironment.update(shading)
    physics = World.physics_world(world)
    level = World.load_level(world, "levels/sample", LevelScript)
    local placed = World.units(world)
    print("boot: level '" .. Level.get_data(level, "title") .. "' placed " .. #placed .. " unit: " ..
          tostring(placed[1]) .. " at " .. tostring(Unit.world_position(placed[1], 0)) .. ", its top node " ..
          Unit.node(placed[1], "top") .. " at " .. tostring(Unit.world_position(placed[1], Unit.node(placed[1], "top"))))
    Level.trigger_level_loaded(level)
    dropped = World.units(world)[2]
    World.spawn_unit(world, "units/floor")
    print("boot: the level's flow dropped " .. tostring(dropped) .. " at " .. tostring(Unit.world_position(dropped, 0)))

    door = World.spawn_unit(world, "units/door", Vector3(3, 4, 0), Quaternion(Vector3.up(), 0))
    -- The door's leaf swings open and shut again with its simple animation "open" (in
    -- units/door.unit), over and over.
    Unit.play_simple_animation(door, nil, nil, true, 1, "open")
    local animations = Application.resource_package("sample_animations")
    ResourcePackage.load(animations)
    ResourcePackage.flush(animations)
    -- The weathervane's state machine starts as it spawns, with its animations loaded.
    weathervane = World.spawn_unit(world, "units/weathervane", Vector3(-3, 4, 0))
    local vane = weathervane
    print("boot: the weathervane sways (root mode " .. Unit.animation_root_mode(vane) .. ", wind " ..
          Unit.animation_get_variable(vane, Unit.animation_find_variable(vane, "wind")) .. ")")
    -- Sounds: wind all around, looping, and a chime at the door, heard within 20 m. With
    -- no sound device (sound.disabled, or no audio output) the ids are 0.
    sounds = Application.resource_package("sample_sounds")
    ResourcePackage.load(sounds)
    ResourcePackage.flush(sounds)
    local ambience = World.play_sound(world, "sounds/ambience", true, nil, nil, "ambience")
    local chime = World.play_sound(world, "sounds/chime", false, 20, Vector3(3, 4, 0))
    World.set_mixer_volume(world, "ambience", 0.6)
    print("boot: playing the ambience (sound " .. ambience .. ") and a chime at the door (sound " .. chime .. ")")
    -- Sparks at the door: the effect plays for 2 seconds (effects/sparks.particles).
    effects = Application.resource_package("sample_effects")
    ResourcePackage.load(effects)
    ResourcePackage.flush(effects)
    local sparks = World.create_particles(world, "effects/sparks", Vector3(3, 4, 1))
    print("boot: sparks at the door (effect " .. sparks .. ")")
    for i = 1, 3 do
        crates[i] = spawn_crate(-i)
    end
    flock = Flock()
    Flock.set_navigation_mesh(flock, Level.navigation_mesh(level))
    local path = Flock.add_path(flock)
    for _, p in ipairs({Vector3(-4, -3, 0), Vector3(8, -3, 0.5), Vector3(8, 3, 0.5), Vector3(-4, 3, 0)}) do
        Flock.add_path_point(flock, path, p, 0.5)
    end
    for i = 1, 5 do
        local agent = Flock.add_agent(flock, Vector3(-5, -3.5 + 1.2 * i, 0), 0.3, 2)
        if i < 5 then
            Flock.follow_path(flock, agent, path)
        else
            Flock.follow(flock, agent, walkers[1].agent)
        end
        walkers[i] = {agent = agent, unit = World.spawn_unit(world, "units/crate", Flock.agent_position(flock, agent))}
        drive(walkers[i].unit)
    end
    World.set_data(world, "name", "the yard")
    player = World.spawn_unit(world, "units/crate", Vector3(0, -2, 1))
    drive(player)
    -- Two crates dropped on top of each other (a global, for tests): they fall, the upper
    -- lands on the lower and both come to rest on the floor. A raycast from above finds the
    -- top one.
    stack = {World.spawn_unit(world, "units/crate", Vector3(-10, 8, 4)),
             World.spawn_unit(world, "units/crate", Vector3(-10, 8, 7))}
    probe = PhysicsWorld.make_raycast(physics, function(hit, position, distance, normal, actor)
        local found = hit and Actor.unit(actor)
        print("boot: a raycast down over the stack " .. (hit and ("hit " .. tostring(found) .. " at " ..
              tostring(position) .. ", " .. string.format("%.2f", distance) .. " m down" ..
              (found == stack[2] and " (the upper crate)" or "")) or "hit nothing"))
    end, "closest", "types", "dynamics")
    local function keys(...)
        local list = {}
        for _, name in ipairs({...}) do
            list[#list + 1] = Keyboard.button_index(name)
        end
        return list
    end
    move_keys = {left = keys("a", "left"), right = keys("d", "right"), forward = keys("w", "up"),
                 back = keys("s", "down"), quit = Keyboard.button_index("esc")}
    -- Debug lines around the player and the door, and a status line of text, every frame.
    lines = World.create_line_object(world)
    gui = World.create_screen_gui(world, "material", "materials/gui")
    status = Gui.text(gui, "tallow", "fonts/sample", 24, "gui_text", Vector3(16, 16, 1))
    SavedGame.begin_restore()
    print("boot: the script spawned " .. tostring(door) .. " and " .. #crates .. " crates; " ..
          World.get_data(world, "name") .. " holds " .. World.num_units(world) .. " units")
    -- LAN play (data/lan_play.lua): "-lan host PORT" or "-lan join PORT" on the command line.
    for _, arg in ipairs({Application.argv()}) do
        if arg == "-lan" then
            lan_package = Application.resource_package("sample_network")
            ResourcePackage.load(lan_package)
            ResourcePackage.flush(lan_package)
            lan = require("lan_play")
            local role, port = lan.arguments()
            if role then
                lan.init(role, port, world)
            else
                lan = nil
            end
        end
        -- Online play (data/steam_play.lua): "-steam host" or "-steam join".
        if arg == "-steam" then
            lan_package = lan_package or Application.resource_package("sample_network")
            ResourcePackage.load(lan_package)
            ResourcePackage.flush(lan_package)
            lan = require("steam_play")
            local role = lan.arguments()
            if role then
                lan.init(role)
            else
                lan = nil
            end
        end
    end
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
    if seconds >= 1 and not probed then
        probed = true
        Raycast.cast(probe, Vector3(-10, 8, 20), Vector3(0, 0, -1))
    end
    SavedGame.poll(restore)
    Flock.update(flock, dt)
    for _, w in ipairs(walkers) do
        Unit.set_local_position(w.unit, 0, Flock.agent_position(flock, w.agent))
        Unit.set_local_rotation(w.unit, 0, Flock.agent_rotation(flock, w.agent))
    end
    move_player(dt)
    LineObject.reset(lines)
    LineObject.add_axes(lines, Matrix4x4.identity())
    LineObject.add_circle(lines, Color(255, 255, 0), Unit.world_position(player, 0), 0.75, Vector3(0, 0, 1))
    LineObject.add_box(lines, Color(0, 255, 255), Unit.world_pose(door, 0), Vector3(0.6, 0.1, 1.1))
    LineObject.dispatch(world, lines)
    Gui.update_text(gui, status, string.format("frame %d, %.1f s, %d units", frames, seconds, World.num_units(world)),
                    "fonts/sample", 24, "gui_text", Vector3(16, 16, 1))
    if lan then
        lan.update(dt)
        if lan.finished() and not quitting then
            quitting = true
            Application.quit()
        end
    end
    if seconds >= 0.5 and not gusted then
        gusted = true
        Unit.animation_event(weathervane, "gust")
        print("boot: a gust: the weathervane crossfades into a spin (crossfading: " ..
              tostring(Unit.is_crossfading_animation(weathervane)) .. ")")
    end
    World.update(world, dt)

    if seconds >= next_report then
        next_report = next_report + 1
        local lead = crates[1]
        print(string.format("boot: %.0f s, frame %d: %d units, %d crates spawned and %d destroyed by the script; " ..
                            "lead %s at %s, door turned to %s, its leaf to %s, the vane to %s",
                            seconds, frames, World.num_units(world), spawned, destroyed, tostring(lead),
                            tostring(Unit.world_position(lead, 0)), tostring(Unit.world_rotation(door, 0)),
                            tostring(Unit.local_rotation(door, Unit.node(door, "leaf"))),
                            tostring(Unit.local_rotation(weathervane, Unit.node(weathervane, "vane")))))
        local units = {}
        for i, w in ipairs(walkers) do
            units[i] = w.unit
        end
        print(string.format("boot: the lead walker is at %s, %.1f m/s; %d pairs of walkers within 1 m",
                            tostring(Flock.agent_position(flock, walkers[1].agent)),
                            Flock.agent_speed(flock, walkers[1].agent), #AI.find_intersecting_units(units, 0.5) / 2))
        print(string.format("boot: the stacked crates at z = %.2f and %.2f", Unit.world_position(stack[1], 0).z,
                            Unit.world_position(stack[2], 0).z))
    end
    if Keyboard.pressed(move_keys.quit) and not quitting then
        quitting = true
        print("boot: Esc pressed, quitting; the player crate stands at " .. tostring(Unit.local_position(player, 0)))
        Application.quit()
    end
    if seconds >= run_seconds and heard and not interactive and not quitting and not lan then
        quitting = true
        print("boot: " .. run_seconds .. " seconds done, quitting")
        Application.quit()
    end
end

function render()
    -- No cameras yet: the world's built-in camera draws it.
    Application.render_world(world, nil, viewport, shading)
end

function shutdown()
    if lan then
        lan.shutdown()
    end
    if lan_package then
        Application.release_resource_package(lan_package)
    end
    SavedGame.store({runs = runs, player = Unit.local_position(player, 0)})
    flock = nil
    local kept = crates[1]
    Application.release_world(world)
    print("boot: world released; a kept crate reference now reads " .. tostring(kept) ..
          ", alive: " .. tostring(Unit.alive(kept)))
    Application.release_resource_package(units)
    Application.release_resource_package(physics_properties)
    Application.release_resource_package(sounds)
    Application.release_resource_package(effects)
    print("boot: " .. Localizer.lookup(Localizer("boot"), "farewell") .. " after " .. frames .. " frames")
end
