-- What a person asks of the game this frame: a walking direction from the keyboard (WASD or
-- the arrow keys) or the first pad (left stick or d-pad), and whether to quit (Esc, or the
-- pad's back button).

local controls = {}

local keys -- button indices of the keyboard, by direction (filled by controls.init)
local pad_buttons -- the pad's d-pad and back buttons
local stick_dead_zone = 0.25

function controls.init()
    local function list(device, ...)
        local found = {}
        for _, name in ipairs({...}) do
            found[#found + 1] = device.button_index(name)
        end
        return found
    end
    keys = {left = list(Keyboard, "a", "left"), right = list(Keyboard, "d", "right"), forward = list(Keyboard, "w", "up"),
            back = list(Keyboard, "s", "down"), quit = Keyboard.button_index("esc")}
    pad_buttons = {left = list(Pad1, "d_left"), right = list(Pad1, "d_right"), forward = list(Pad1, "d_up"),
                   back = list(Pad1, "d_down"), quit = Pad1.button_index("back")}
end

-- Whether any of the buttons (indices of `device`) is held this frame.
local function held(device, buttons)
    for _, button in ipairs(buttons) do
        if device.button(button) > 0 then
            return true
        end
    end
    return false
end

local function axis(device, buttons)
    return (held(device, buttons.right) and 1 or 0) - (held(device, buttons.left) and 1 or 0),
           (held(device, buttons.forward) and 1 or 0) - (held(device, buttons.back) and 1 or 0)
end

-- The direction (dx, dy: x east, y north, at most 1 long) and whether the player quits.
function controls.read()
    local dx, dy = axis(Keyboard, keys)
    local quit = Keyboard.pressed(keys.quit)
    if Pad1.active() then
        if dx == 0 and dy == 0 then
            dx, dy = axis(Pad1, pad_buttons)
        end
        local stick = Pad1.axis_index("left")
        if dx == 0 and dy == 0 and stick then
            local s = Pad1.axis(stick)
            if math.abs(s.x) > stick_dead_zone or math.abs(s.y) > stick_dead_zone then
                dx, dy = s.x, s.y
            end
        end
        quit = quit or (pad_buttons.quit ~= nil and Pad1.pressed(pad_buttons.quit))
    end
    local length = math.sqrt(dx * dx + dy * dy)
    if length > 1 then
        dx, dy = dx / length, dy / length
    end
    return dx, dy, quit
end

return controls
