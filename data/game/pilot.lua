-- The game's scripted player: it plays while no person has touched the controls (a headless
-- run, or a window left alone) and hands the same direction a person would give to the game.
--
-- The "yard" plan walks the character back to its start, pushes the crate in front of it
-- east into the scoring zone, steps back from it, walks north to the door (which opens as it
-- comes near), waits, walks away (the door shuts) and back to the start, where the next run
-- begins. The "circle" plan, for network play, walks round a circle of one metre for ever.

local pilot = {}

local speed -- the character's full speed in metres per second (given to pilot.start)
local step_limit = 10 -- seconds a walk may take before the pilot gives up on its target

local plans = {
    yard = {
        {wait = 0.3, say = "waits for the character to settle"},
        {to = {0, -2}, say = "walks to the start"},
        {to = {5.25, -2}, say = "pushes the crate east into the zone"},
        -- The character pushes what it walks into: it steps back before it turns north, or it
        -- would brush the crate it has just pushed out of the zone again.
        {to = {4.6, -2}, say = "steps back from the crate"},
        {to = {5.25, 3}, say = "walks north to the door"},
        {wait = 1.5, say = "waits while the door opens"},
        {to = {4.2, -1.2}, say = "walks away from the door"},
        {to = {0, -2}, say = "walks back to the start"},
        {wait = 0.5, say = "rests"},
    },
    circle = {{circle = 3, say = "walks round a circle"}},
}

local plan, index, elapsed

-- Starts the named plan from its first step, for a character walking `full_speed` m/s.
function pilot.start(name, full_speed)
    speed = full_speed
    plan = plans[name]
    index = 0
    elapsed = 0
end

-- True once the plan has played its last step.
function pilot.done()
    return plan ~= nil and index > #plan
end

local function next_step()
    index = index + 1
    elapsed = 0
    local step = plan[index]
    if step then
        print("boot: the scripted player " .. step.say)
    else
        print("boot: the scripted player is done")
    end
end

-- The direction for this frame (dx, dy, at most 1 long) from the character's feet (x, y).
function pilot.read(dt, x, y)
    if not plan or pilot.done() then
        return 0, 0
    end
    if index == 0 then
        next_step()
    end
    local step = plan[index]
    elapsed = elapsed + dt
    if step.wait then
        if elapsed >= step.wait then
            next_step()
        end
        return 0, 0
    end
    if step.circle then
        -- Turning at `circle` radians a second at full speed: a circle of speed/circle metres.
        local a = elapsed * step.circle
        return math.sin(a), -math.cos(a)
    end
    local ex, ey = step.to[1] - x, step.to[2] - y
    local distance = math.sqrt(ex * ex + ey * ey)
    local reach = speed * dt
    if distance < 0.02 or elapsed > step_limit then
        if distance >= 0.02 then
            print(string.format("boot: the scripted player gave up %.2f m short of its target", distance))
        end
        next_step()
        return 0, 0
    end
    -- Full speed until the last step, which ends on the target.
    local scale = distance > reach and 1 / distance or 1 / reach
    return ex * scale, ey * scale
end

return pilot
