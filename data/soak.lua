-- The soak run's boot script (started with "-ini soak", see soak.ini and soak.sh): it plays
-- without end over the sample's resources, so that a long run shows whether memory or frame
-- time creeps. Every few seconds something comes and goes:
--
--   units         a crate spawned above the yard every 0.2 s (it falls as a dynamic body);
--                 the oldest destroyed once there are 40; a few pushed every second
--   flow          the level's "level_loaded" event every 3 s (its flow drops a crate and
--                 tells this script 2 s later); the door's and the vane's flow through their
--                 state machines
--   animation     the door opens and shuts every 2 s; the weathervane gusts every 5 s
--   sound         a chime at the door (a positioned sound) with every swing; the ambience
--                 (a streamed Vorbis sound) loops, stopped and started again every 15 s
--   particles     sparks at the door with every swing, and at a random spot every second
--   GUI and lines texts changed and debug lines drawn every frame; a text made and
--                 destroyed every second
--   saves         the run's counts saved every 60 s
--   worlds        the whole world released and a new one made every 20 s
--
-- Every 10 s it prints one line: the time, the frames, the mean frame step and processor
-- time per frame over those 10 s, the units alive and the worlds made. With the option
-- "-soak-seconds N" it quits after N seconds of play; without, it runs until closed.

local spawn_every = 0.2
local max_crates = 40
local world_seconds = 20
local save_seconds = 60
local report_seconds = 10

local seconds, frames = 0, 0
local limit -- seconds of play, from "-soak-seconds"
local packages = {}
local worlds_made, saves_done, landed = 0, 0, 0
local save_token, save_at = nil, save_seconds
local report_at, report_frames, report_clock = report_seconds, 0, os.clock()
local rng = 1 -- a small deterministic generator, so that every run plays the same

local function random()
    rng = (rng * 1103515245 + 12345) % 2147483648
    return rng / 2147483648
end

-- Everything of the current world; made anew every `world_seconds`.
local w

LevelScript = {}
function LevelScript:crate_landed(crate)
    landed = landed + 1
    if w and Unit.alive(crate) then
        w.crates[#w.crates + 1] = crate
    end
end
function LevelScript:door_opened(unit) end
function LevelScript:door_closed(unit) end
function LevelScript:vane_spun(unit) end
function LevelScript:spawn_unit(unit) end

local function load_package(name)
    local package = Application.resource_package(name)
    ResourcePackage.load(package)
    ResourcePackage.flush(package)
    packages[#packages + 1] = package
end

local function make_world()
    local world = Application.new_world()
    worlds_made = worlds_made + 1
    w = {world = world, crates = {}, born = seconds, spawn_at = 0, flow_at = 0, swing_at = 0, gust_at = 0,
         push_at = 0, sparks_at = 0, ambience_at = 0, text_at = 0, open = false}
    w.viewport = Application.create_viewport(world, "default")
    w.shading = World.create_shading_environment(world)
    ShadingEnvironment.update(w.shading)
    w.physics = World.physics_world(world)
    w.level = World.load_level(world, "levels/sample", LevelScript)
    Level.trigger_level_loaded(w.level)
    World.spawn_unit(world, "units/floor")
    World.spawn_unit(world, "units/sun")
    local viewpoint = World.spawn_unit(world, "units/camera", Vector3(0, -12, 6), Quaternion(Vector3(1, 0, 0), -0.4))
    w.camera = Unit.camera(viewpoint, "eye")
    w.door = World.spawn_unit(world, "units/door", Vector3(3, 4, 0))
    w.vane = World.spawn_unit(world, "units/weathervane", Vector3(-3, 4, 0))
    w.ambience = World.play_sound(world, "sounds/ambience", true, nil, nil, "ambience")
    w.lines = World.create_line_object(world)
    w.gui = World.create_screen_gui(world, "material", "materials/gui")
    w.status = Gui.text(w.gui, "soak", "fonts/sample", 24, "gui_text", Vector3(16, 16, 1))
end

local function release_world()
    Application.release_world(w.world)
    w = nil
end

local function spawn_crate()
    local crate = World.spawn_unit(w.world, "units/crate", Vector3(-5 + 10 * random(), -4 + 8 * random(),
                                                                   3 + 3 * random()))
    w.crates[#w.crates + 1] = crate
    while #w.crates > max_crates do
        local oldest = table.remove(w.crates, 1)
        if Unit.alive(oldest) then
            World.destroy_unit(w.world, oldest)
        end
    end
end

local function push_crates()
    for i = 1, math.min(3, #w.crates) do
        local crate = w.crates[1 + math.floor(random() * #w.crates)]
        local actor = Unit.alive(crate) and Unit.actor(crate, "crate")
        if actor and Actor.is_physical(actor) then
            Actor.add_impulse(actor, Vector3(4 * random() - 2, 4 * random() - 2, 3))
        end
    end
end

local function save()
    if save_token then
        SaveSystem.close(save_token)
    end
    save_token = SaveSystem.auto_save("soak", {seconds = seconds, frames = frames, worlds = worlds_made,
                                              landed = landed, where = Vector3(1, 2, 3)})
end

local function poll_save()
    if not save_token then
        return
    end
    local p = SaveSystem.progress(save_token)
    if p and p.done then
        if p.error then
            print("soak: the save failed: " .. p.error)
        else
            saves_done = saves_done + 1
        end
        SaveSystem.close(save_token)
        save_token = nil
    end
end

local function draw(t)
    LineObject.reset(w.lines)
    LineObject.add_axes(w.lines, Matrix4x4.identity())
    for i = 1, math.min(10, #w.crates) do
        local crate = w.crates[i]
        if Unit.alive(crate) then
            LineObject.add_line(w.lines, Color(255, 0, 0), Vector3(0, 0, 0), Unit.world_position(crate, 0))
        end
    end
    LineObject.add_sphere(w.lines, Color(0, 255, 0), Vector3(3, 4, 1), 0.5 + 0.25 * math.sin(t))
    LineObject.dispatch(w.world, w.lines)
    Gui.update_text(w.gui, w.status, string.format("soak %.1f s, frame %d, %d units, world %d", seconds, frames,
                                                   World.num_units(w.world), worlds_made),
                    "fonts/sample", 24, "gui_text", Vector3(16, 16, 1))
end

function init()
    for i, arg in ipairs({Application.argv()}) do
        if arg == "-soak-seconds" then
            limit = tonumber(({Application.argv()})[i + 1])
        end
    end
    load_package("sample_physics")
    load_package("sample_animations")
    load_package("sample_units")
    load_package("sample_sounds")
    load_package("sample_effects")
    make_world()
    print("soak: playing" .. (limit and string.format(" for %d s", limit) or " until closed"))
end

function update(dt)
    frames = frames + 1
    seconds = seconds + dt
    if seconds - w.born >= world_seconds then
        release_world()
        make_world()
    end
    local t = seconds - w.born
    local world = w.world

    if t >= w.spawn_at then
        w.spawn_at = w.spawn_at + spawn_every
        spawn_crate()
    end
    if t >= w.push_at then
        w.push_at = w.push_at + 1
        push_crates()
    end
    if t >= w.flow_at then
        w.flow_at = w.flow_at + 3
        Level.trigger_event(w.level, "level_loaded")
    end
    if t >= w.swing_at then
        w.swing_at = w.swing_at + 2
        w.open = not w.open
        Unit.animation_event(w.door, w.open and "open" or "close")
        if w.open then
            World.play_sound(world, "sounds/chime", false, 20, Vector3(3, 4, 1))
            World.create_particles(world, "effects/sparks", Vector3(3, 4, 1))
        end
    end
    if t >= w.gust_at then
        w.gust_at = w.gust_at + 5
        Unit.animation_event(w.vane, "gust")
    end
    if t >= w.sparks_at then
        w.sparks_at = w.sparks_at + 1
        local id = World.create_particles(world, "effects/sparks", Vector3(-4 + 8 * random(), -3 + 6 * random(), 1))
        if random() < 0.3 then
            World.destroy_particles(world, id)
        end
    end
    if t >= w.ambience_at then
        w.ambience_at = w.ambience_at + 15
        if w.ambience and w.ambience ~= 0 then
            World.stop_sound(world, w.ambience)
        end
        w.ambience = World.play_sound(world, "sounds/ambience", true, nil, nil, "ambience")
    end
    if t >= w.text_at then
        w.text_at = w.text_at + 1
        if w.extra then
            Gui.destroy_text(w.gui, w.extra)
        end
        w.extra = Gui.text(w.gui, "a passing line " .. frames, "fonts/sample", 32, "gui_text",
                           Vector3(16 + 200 * random(), 64, 1))
    end

    if seconds >= save_at then
        save_at = save_at + save_seconds
        save()
    end
    poll_save()
    draw(t)
    World.update(world, dt)

    if seconds >= report_at then
        local clock = os.clock()
        local n = frames - report_frames
        print(string.format("soak: %.0f s, frame %d: frame step %.2f ms, processor %.2f ms a frame; %d units, " ..
                            "world %d, %d saves, %d crates landed; Lua holds %.0f KB", seconds, frames,
                            1000 * report_seconds / n, 1000 * (clock - report_clock) / n,
                            World.num_units(world), worlds_made, saves_done, landed, collectgarbage("count")))
        report_at = report_at + report_seconds
        report_frames, report_clock = frames, clock
    end
    if limit and seconds >= limit and not quitting then
        quitting = true
        print(string.format("soak: %d s played, quitting", limit))
        Application.quit()
    end
end

function render()
    Application.render_world(w.world, w.camera, w.viewport, w.shading)
end

function shutdown()
    if save_token then
        SaveSystem.close(save_token)
        save_token = nil
    end
    release_world()
    for _, package in ipairs(packages) do
        Application.release_resource_package(package)
    end
    print(string.format("soak: done after %.0f s, %d frames, %d worlds, %d saves", seconds, frames, worlds_made,
                        saves_done))
end
