-- LAN play for the sample (required by boot.lua when the program runs with "-lan host PORT"
-- or "-lan join PORT").
--
-- The host opens a lobby on PORT and a networked game, names itself the lobby's game server
-- and lets every lobby member into the game. The joiner searches PORT with its lobby
-- browser (the setting "lan_broadcast_targets" says where the search goes), joins the first
-- lobby that answers and waits for the host to let it in. Each side then respawns its
-- character through the game's unit synchronizer, where it stands, and goes on walking it
-- (game/character.lua); the other side's character appears in its world, driven by the
-- network, and its mover is kept at its feet so the local character walks round it. Once a
-- side has seen the other's character move it keeps going for two seconds, so the other
-- sees its character too, and then it is done. The host lets a player who left the lobby
-- out of the game; a side whose partner is gone (it left, or has said nothing for a few
-- seconds because its program died) ends the game rather than wait.

local lan = {}

local give_up_seconds = 30
local seen_linger_seconds = 2
local silent_seconds = 3

local state = {}

local function say(text)
    print("boot: lan " .. state.role .. ": " .. text)
end

-- "-lan host PORT" or "-lan join PORT" among the program's arguments; nil otherwise.
function lan.arguments()
    local args = {Application.argv()}
    for i, arg in ipairs(args) do
        if arg == "-lan" and (args[i + 1] == "host" or args[i + 1] == "join") and tonumber(args[i + 2]) then
            return args[i + 1], math.floor(tonumber(args[i + 2]))
        end
    end
end

-- Network.update's callback table: remote calls and game-object events.
local callbacks = {}
function callbacks:greet(sender, text)
    say("greeting from " .. sender .. ": " .. text)
end
function callbacks:game_object_created(id, owner)
    say("the character of player " .. owner .. " appeared (game object " .. id .. ")")
    state.other = id
end
function callbacks:game_object_destroyed(id, owner)
    if id == state.other then
        state.other = nil
    end
end

-- `character` is the game's character module (game/character.lua).
function lan.init(role, port, world, character)
    state = {role = role, port = port, world = world, character = character, time = 0}
    state.client = Network.init_lan_client("network/sample")
    if not state.client then
        say("no LAN client (is the port free?)")
        state.failed = true
        return
    end
    state.game = Network.create_game()
    state.sync = NetworkGame.unit_synchronizer(state.game)
    UnitSynchronizer.set_world(state.sync, world)
    if role == "host" then
        state.lobby = Network.create_lan_lobby(port, 4)
        if LanLobby.state(state.lobby) ~= LanLobby.JOINED then
            say("the lobby port " .. port .. " is taken")
            state.failed = true
            return
        end
        LanLobby.set_data(state.lobby, "name", "the sample yard")
        NetworkGame.make_server(state.game)
        LanLobby.set_game_server(state.lobby, Network.player_id())
        say("hosting lobby 'the sample yard' on port " .. port .. " as player " .. Network.player_id())
    else
        state.browser = LanClient.lobby_browser(state.client)
        LanLobbyBrowser.refresh(state.browser, port)
        say("searching for lobbies on port " .. port .. " as player " .. Network.player_id())
    end
end

-- The joiner: find a lobby, join it, wait to be let into the game.
local function join_step()
    if not state.lobby then
        -- A lobby answers at once and sends its data right after: wait for its name.
        if LanLobbyBrowser.num_lobbies(state.browser) > 0 and LanLobbyBrowser.lobby(state.browser, 0).name then
            local found = LanLobbyBrowser.lobby(state.browser, 0)
            say("found lobby '" .. found.name .. "' at " .. found.address)
            state.lobby = Network.join_lan_lobby(found.address)
        elseif not LanLobbyBrowser.is_refreshing(state.browser) then
            LanLobbyBrowser.refresh(state.browser, state.port)
        end
    elseif LanLobby.state(state.lobby) == LanLobby.FAILED then
        say("the lobby refused the join")
        state.failed = true
    end
end

-- The host: every lobby member joins the game, and whoever left the lobby leaves the game.
local function host_step()
    local members = {}
    for i = 1, LanLobby.num_members(state.lobby) - 1 do
        local member = LanLobby.member(state.lobby, i)
        members[member] = true
        if not NetworkGame.in_game(state.game, member) then
            NetworkGame.add_client(state.game, member)
            say("player " .. member .. " joined the lobby; letting it into the game")
        end
    end
    for _, player in ipairs(NetworkGame.other_players(state.game)) do
        if not members[player] then
            NetworkGame.remove_client(state.game, player)
            say("player " .. player .. " left the lobby; it leaves the game")
        end
    end
end

-- The partner: the first other player met in the game. Gone when it left the game (or the
-- game closed), or when its connection has carried nothing for a few seconds.
local function partner_step()
    local others = NetworkGame.other_players(state.game)
    if not state.partner then
        state.partner = others[1]
        return
    end
    local present = false
    for _, player in ipairs(others) do
        present = present or player == state.partner
    end
    local silent = false
    for _, player in ipairs(NetworkGame.silent_players(state.game, silent_seconds)) do
        silent = silent or player == state.partner
    end
    if not present or silent then
        state.partner_gone = true
        say("player " .. state.partner .. (silent and " has been silent for " .. silent_seconds .. " seconds" or
                                           " left the game") .. "; ending the game")
    end
end

function lan.update(dt)
    if state.failed or not state.client then
        return
    end
    state.time = state.time + dt
    Network.update(dt, callbacks)
    if state.role == "host" then
        host_step()
    else
        join_step()
    end
    if not state.own and NetworkGame.in_game(state.game) then
        local x, y, z = state.character.position()
        state.own = UnitSynchronizer.spawn_unit(state.sync, "player", "units/character", Vector3(x, y, z))
        state.character.adopt(state.own)
        say("in the game with " .. #NetworkGame.other_players(state.game) .. " other player(s); my character " ..
            "is now the game's")
        for _, other in ipairs(NetworkGame.other_players(state.game)) do
            RPC.greet(other, "hello from the " .. state.role)
        end
    end
    if state.own and not state.partner_gone then
        partner_step()
    end
    if state.other then
        local unit = UnitSynchronizer.game_object_id_to_unit(state.sync, state.other)
        if unit then
            local p = Unit.local_position(unit, 0)
            local mover = Unit.mover(unit)
            if mover then
                Mover.set_position(mover, p)
            end
            local f = state.first
            if not f then
                state.first = {x = p.x, y = p.y, z = p.z}
            elseif not state.seen and math.abs(p.x - f.x) + math.abs(p.y - f.y) + math.abs(p.z - f.z) > 0.25 then
                state.seen = state.time
                say(string.format("sees the other player's character move from (%.2f, %.2f, %.2f) to (%.2f, %.2f, %.2f)",
                                  state.first.x, state.first.y, state.first.z, p.x, p.y, p.z))
            end
        end
    end
end

-- True once the game has done what it came for (or given up).
function lan.finished()
    if state.failed then
        return true
    end
    -- A partner that goes after both have seen each other has simply finished first.
    if state.seen and (state.partner_gone or state.time - state.seen >= seen_linger_seconds) then
        say("done")
        return true
    end
    if state.partner_gone then
        state.failed = true
        return true
    end
    if state.time >= give_up_seconds then
        say("gave up after " .. give_up_seconds .. " seconds without seeing the other player's character move")
        state.failed = true
        return true
    end
    return false
end

function lan.shutdown()
    if state.client then
        Network.shutdown_lan_client(state.client)
        state.client = nil
    end
end

return lan
