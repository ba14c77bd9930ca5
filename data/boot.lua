-- The sample game's boot script. The engine requires it at start-up (the setting
-- "boot_script"), then calls init once, update and render every frame, and shutdown
-- when the program ends.
--
-- The game: a character in a yard pushes crates into a painted zone, one point a crate.
-- WASD or the arrow keys (or the first pad's left stick or d-pad) walk it; Esc (or the pad's
-- back button, or closing the window) quits. Its parts live in data/game/: the controls, the
-- character and its mover (game/character.lua), the door (game/door.lua), the zone and its
-- score (game/yard.lua) and the scripted player (game/pilot.lua), which plays while no
-- person has touched the controls: a headless run watches it push a crate into the zone,
-- open the door and walk back, and then quits by itself. Once a person walks the
-- character, the game runs until they quit.
--
-- The yard: the sample level (data/levels/sample.level) places a lamp post and, once loaded,
-- drops a crate and tells this script two seconds later. The door opens under its animation
-- state machine as the character comes near, with a chime and sparks. A weathervane sways
-- under its own state machine until the script sends it a gust half a second in: it
-- crossfades into a spin, tells the level script through its flow graph, and calms back into
-- its sway. Wind blows throughout. Two crates dropped on each other fall onto the floor and
-- rest, and a raycast from Lua looks down on them after a second. A small flock walks the
-- level's navigation mesh: four walkers follow a path round the west of the yard, a fifth
-- follows the first, and a crate the script drives shows each of them.
--
-- Every frame it draws debug lines (axes at the origin, the character's capsule, the zone,
-- a box round the door, a line to each crate being pushed) and prints the score and a status
-- line in the sample font. Once a second it prints what it sees. On quit it saves where the
-- character stands, the score and how many runs there have been (data/saved_game.lua); the
-- next start puts the character back there.

local controls = require("game/controls")
local character = require("game/character")
local door = require("game/door")
local yard = require("game/yard")
local pilot = require("game/pilot")

frames = 0
seconds = 0
local world, level, dropped
local physics, physics_properties, probe, probed
local gusted = false
local next_report = 1
local heard = false
local interactive = false -- a person has walked the character
local loaded = false -- the saved game has been restored (or there was none)
local flock
local walkers = {} -- {agent = flock agent index, unit = the crate that shows it}
local start = {0, -2} -- where the character starts

-- The level script of the sample level: its flow graph (and the flow graphs of the units
-- spawned into its world) call this table's methods.
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
-- A crate's actor began to touch something (units/crate.unit: its touch target runs its flow
-- graph, whose script event node calls this). Said once; counted always.
local crate_touches = 0
function LevelScript:crate_touched(crate)
    crate_touches = crate_touches + 1
    if crate_touches == 1 then
        print("boot: a crate touched something (" .. tostring(crate) .. "): its actor's touch target, " ..
              "through its flow graph")
    end
end
function LevelScript:door_opened(unit)
    door.swung(true)
end
function LevelScript:door_closed(unit)
    door.swung(false)
end

require("saved_game")
runs = 1

-- Puts the character where the last run left it. A save is a file on disk: what it holds is
-- checked before use, and anything unusable starts the game afresh.
local function restore(state)
    loaded = true
    if state == nil then
        return
    end
    if type(state) ~= "table" or type(state.runs) ~= "number" then
        print("boot: the saved game holds no run count; starting afresh")
        return
    end
    runs = math.floor(state.runs) + 1
    if lan then
        print("boot: restored the saved game: run " .. runs .. " (network play starts the character afresh)")
        return
    end
    if not pcall(character.place, state.player) then
        print("boot: the saved game's position is unusable; the character starts afresh")
        character.place(Vector3(start[1], start[2], 0))
        return
    end
    print("boot: restored the saved game: run " .. runs .. ", the character back at " .. tostring(state.player) ..
          ", the last score " .. tostring(state.score or 0))
end

-- The package `name`, loaded whole.
local function load_package(name)
    local package = Application.resource_package(name)
    ResourcePackage.load(package)
    ResourcePackage.flush(package)
    return package
end

-- LAN play (data/lan_play.lua): "-lan host PORT" or "-lan join PORT" on the command line;
-- online play (data/steam_play.lua): "-steam host" or "-steam join".
local function start_network()
    for _, arg in ipairs({Application.argv()}) do
        if arg == "-lan" then
            lan_package = load_package("sample_network")
            lan = require("lan_play")
            local role, port = lan.arguments()
            if role then
                lan.init(role, port, world, character)
            else
                lan = nil
            end
        end
        if arg == "-steam" then
            lan_package = lan_package or load_package("sample_network")
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

-- The "-lan" arguments, as data/lan_play.lua reads them (nil without them).
local function lan_arguments()
    for _, arg in ipairs({Application.argv()}) do
        if arg == "-lan" then
            return true
        end
    end
end

-- Where the character starts in network play: the host and the joiner apart.
local function lan_start()
    local args = {Application.argv()}
    for i, arg in ipairs(args) do
        if arg == "-lan" and args[i + 1] == "join" then
            return {0, 2}
        end
    end
    return {-0.5, -3.2}
end

function init()
    local text = Localizer("boot")
    print("boot: " .. Localizer.lookup(text, "greeting") .. ", init on " .. Application.platform())
    local width, height = Application.resolution()
    print("boot: back buffer " .. width .. "x" .. height .. ", " .. #Application.enum_display_modes() ..
          " display modes")

    -- The physics templates come first: units find them when they spawn.
    physics_properties = load_package("sample_physics")
    -- The units and the level live in their own package, loaded whole before use; the
    -- animations before the units whose state machines play them spawn.
    units = load_package("sample_units")
    local animations = load_package("sample_animations")
    sounds = load_package("sample_sounds")
    effects = load_package("sample_effects")

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
    World.spawn_unit(world, "units/sun")
    print("boot: the level's flow dropped " .. tostring(dropped) .. " at " .. tostring(Unit.world_position(dropped, 0)))

    -- The view: a camera behind and above the yard, looking down at its middle.
    local viewpoint = World.spawn_unit(world, "units/camera", Vector3(0, -10, 5), Quaternion(Vector3(1, 0, 0), -0.4))
    camera = Unit.camera(viewpoint, "eye")
    door.spawn(world, 3, 4, 0)
    -- The weathervane's state machine starts as it spawns.
    weathervane = World.spawn_unit(world, "units/weathervane", Vector3(-3, 4, 0))
    local vane = weathervane
    print("boot: the weathervane sways (root mode " .. Unit.animation_root_mode(vane) .. ", wind " ..
          Unit.animation_get_variable(vane, Unit.animation_find_variable(vane, "wind")) .. ")")
    -- Music: the wind ambience all around, looping. With no sound device (sound.disabled, or
    -- no audio output) the id is 0.
    local ambience = World.play_sound(world, "sounds/ambience", true, nil, nil, "ambience")
    World.set_mixer_volume(world, "ambience", 0.6)
    print("boot: playing the ambience (sound " .. ambience .. ")")
    -- Sparks at the door as the game starts (effects/sparks.particles plays for 2 seconds);
    -- the door throws them again whenever it opens.
    local sparks = World.create_particles(world, "effects/sparks", Vector3(3, 4, 1))
    print("boot: sparks at the door (effect " .. sparks .. ")")
    yard.init(world)

    flock = Flock()
    Flock.set_navigation_mesh(flock, Level.navigation_mesh(level))
    local path = Flock.add_path(flock)
    for _, p in ipairs({Vector3(-5, -3, 0), Vector3(-2, -3, 0), Vector3(-2, 2, 0), Vector3(-5, 2, 0)}) do
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
        -- Its actor follows the node, pushing what it meets.
        PhysicsWorld.set_kinematic(physics, Unit.actor(walkers[i].unit, "crate"))
    end
    World.set_data(world, "name", "the yard")

    if lan_arguments() then
        start = lan_start()
    end
    -- The character (a global, for tests).
    player = character.spawn(world, Vector3(start[1], start[2], 0))
    -- Two crates dropped on top of each other (a global, for tests): they fall, the upper
    -- lands on the lower and both come to rest on the floor. A raycast from above finds the
    -- top one.
    stack = {World.spawn_unit(world, "units/crate", Vector3(-10, 8, 4)),
             World.spawn_unit(world, "units/crate", Vector3(-10, 8, 7))}
    probe = PhysicsWorld.make_raycast(physics, function(hit, position, distance, normal, actor)
        local found = hit and actor and Actor.unit(actor) -- a mover's capsule names no actor
        print("boot: a raycast down over the stack " .. (hit and ("hit " .. tostring(found) .. " at " ..
              tostring(position) .. ", " .. string.format("%.2f", distance) .. " m down" ..
              (found == stack[2] and " (the upper crate)" or "")) or "hit nothing"))
    end, "closest", "types", "dynamics")
    controls.init()
    -- Debug lines and the score and status lines of text, every frame.
    lines = World.create_line_object(world)
    gui = World.create_screen_gui(world, "material", "materials/gui")
    score_text = Gui.text(gui, "score 0", "fonts/sample", 32, "gui_text", Vector3(16, 48, 1))
    status = Gui.text(gui, "tallow", "fonts/sample", 24, "gui_text", Vector3(16, 16, 1))
    SavedGame.begin_restore()
    print("boot: the script spawned the character " .. tostring(player) .. " at " ..
          tostring(Unit.world_position(player, 0)) .. " and the door " .. tostring(door.unit()) .. "; " ..
          World.get_data(world, "name") .. " holds " .. World.num_units(world) .. " units")
    start_network()
    SavedGame.finish_restore(restore, 2)
    pilot.start(lan and "circle" or "yard", character.speed)
end

local function draw_lines()
    local x, y, z = character.position()
    LineObject.reset(lines)
    LineObject.add_axes(lines, Matrix4x4.identity())
    LineObject.add_capsule(lines, Color(255, 255, 0), Vector3(x, y, z + 0.35), Vector3(x, y, z + 1.35), 0.35)
    LineObject.add_box(lines, Color(0, 255, 255), Unit.world_pose(door.unit(), 0), Vector3(0.6, 0.1, 1.1))
    local zone = yard.zone
    LineObject.add_box(lines, Color(255, 200, 0), Matrix4x4.from_translation(Vector3(zone.x, zone.y, 0.05)),
                       Vector3(zone.half, zone.half, 0.05))
    for _, crate in ipairs(character.pushing()) do
        LineObject.add_line(lines, Color(255, 0, 0), Vector3(x, y, z + 0.5), Unit.world_position(crate, 0))
    end
    LineObject.dispatch(world, lines)
end

function update(dt)
    frames = frames + 1
    seconds = seconds + dt
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

    -- A person's controls, or the scripted player's while nobody has touched them.
    local dx, dy, quit = controls.read()
    if (dx ~= 0 or dy ~= 0) and not interactive then
        interactive = true
        print("boot: a person took over: the keys (or the pad) walk the character; the game runs until Esc")
    end
    local x, y = character.position()
    if not interactive and loaded then
        dx, dy = pilot.read(dt, x, y)
    end
    character.walk(dx, dy, dt)
    player = character.unit()
    x, y = character.position()
    door.update(x, y)
    local score = yard.update()
    draw_lines()
    Gui.update_text(gui, score_text, "score " .. score, "fonts/sample", 32, "gui_text", Vector3(16, 48, 1))
    Gui.update_text(gui, status, string.format("frame %d, %.1f s, %d units; %s", frames, seconds,
                                               World.num_units(world), interactive and "Esc quits" or
                                               "the scripted player plays: a move key takes over"),
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
        local cx, cy, cz = character.position()
        print(string.format("boot: %.0f s, frame %d: %d units; the character at (%.2f, %.2f, %.2f)%s, score %d, " ..
                            "the door %s (%.0f degrees), the vane to %s",
                            seconds, frames, World.num_units(world), cx, cy, cz,
                            character.standing() and " standing" or " falling", score,
                            door.is_open() and "open" or "shut", door.angle(),
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
    if quit and not quitting then
        quitting = true
        print("boot: Esc pressed, quitting; the character stands at " .. tostring(Unit.local_position(player, 0)))
        Application.quit()
    end
    if pilot.done() and heard and not interactive and not quitting and not lan then
        quitting = true
        print(string.format("boot: the scripted game is over after %.1f s with a score of %d; quitting", seconds,
                            score))
        Application.quit()
    end
end

function render()
    -- The sample's camera, into its viewport with its shading environment.
    Application.render_world(world, camera, viewport, shading)
end

function shutdown()
    if lan then
        lan.shutdown()
    end
    if lan_package then
        Application.release_resource_package(lan_package)
    end
    local x, y, z = character.position()
    SavedGame.store({runs = runs, player = Vector3(x, y, z), score = yard.score()})
    flock = nil
    local kept = dropped
    Application.release_world(world)
    print("boot: world released; a kept crate reference now reads " .. tostring(kept) ..
          ", alive: " .. tostring(Unit.alive(kept)))
    Application.release_resource_package(units)
    Application.release_resource_package(physics_properties)
    Application.release_resource_package(sounds)
    Application.release_resource_package(effects)
    print("boot: " .. Localizer.lookup(Localizer("boot"), "farewell") .. " after " .. frames .. " frames")
end
