-- Online play for the sample (required by boot.lua when the program runs with "-steam host"
-- or "-steam join" and the online services are configured: TALLOW_STEAM_ROOT names the
-- folder the processes share, TALLOW_STEAM_USER the user).
--
-- The host creates a public lobby named "the sample hall". The joiner lists lobbies until
-- it sees that name, joins, and greets the lobby's owner with a remote call over the
-- platform's peer-to-peer packets; the host answers the greeting, and both are done once
-- they have heard the other. A side whose partner leaves the lobby before that (the services
-- drop a member whose program died) stops waiting.

local online = {}

local give_up_seconds = 30
local linger_seconds = 1
local hall = "the sample hall"

local state = {}

local function say(text)
    print("boot: steam " .. state.role .. ": " .. text)
end

-- "host" or "join" after "-steam" among the program's arguments; nil otherwise.
function online.arguments()
    local args = {Application.argv()}
    for i, arg in ipairs(args) do
        if arg == "-steam" and (args[i + 1] == "host" or args[i + 1] == "join") then
            return args[i + 1]
        end
    end
end

local callbacks = {}
function callbacks:greet(sender, text)
    say("greeting from " .. sender .. ": " .. text)
    state.heard = state.heard or state.time
    if state.role == "host" then
        RPC.greet(sender, "welcome from the host")
    end
end

function online.init(role)
    state = {role = role, time = 0}
    if not Steam then
        say("the online services are not running")
        state.failed = true
        return
    end
    state.client = Network.init_steam_client("network/sample")
    if not state.client then
        say("no online client")
        state.failed = true
        return
    end
    if role == "host" then
        state.lobby = Network.create_steam_lobby(Network.STEAM_LOBBY_PUBLIC, 4)
    else
        state.browser = SteamClient.lobby_browser(state.client)
        SteamLobbyBrowser.refresh(state.browser)
    end
    say("started as user " .. Steam.user_id() .. " (" .. Steam.user_name() .. ")")
end

local function host_step()
    local lobby_state = SteamLobby.state(state.lobby)
    if lobby_state == SteamLobby.FAILED then
        say("the lobby could not be created")
        state.failed = true
    elseif lobby_state == SteamLobby.JOINED and not state.named then
        SteamLobby.set_data(state.lobby, "name", hall)
        state.named = true
        say("hosting lobby '" .. hall .. "'")
    elseif state.named and SteamLobby.num_members(state.lobby) > 1 and not state.member_seen then
        state.member_seen = SteamLobby.member(state.lobby, 1)
        say("player " .. state.member_seen .. " joined the lobby")
    elseif state.member_seen and SteamLobby.num_members(state.lobby) < 2 and not state.partner_gone then
        state.partner_gone = true
        say("player " .. state.member_seen .. " left the lobby")
    end
end

local function join_step()
    if not state.lobby then
        for i = 0, SteamLobbyBrowser.num_lobbies(state.browser) - 1 do
            local found = SteamLobbyBrowser.lobby(state.browser, i)
            if found.name == hall then
                say("found lobby '" .. found.name .. "' (" .. found.id .. ")")
                state.lobby = Network.join_steam_lobby(found.id)
                return
            end
        end
        if not SteamLobbyBrowser.is_refreshing(state.browser) then
            SteamLobbyBrowser.refresh(state.browser)
        end
    elseif SteamLobby.state(state.lobby) == SteamLobby.FAILED then
        say("the lobby refused the join")
        state.failed = true
    elseif SteamLobby.state(state.lobby) == SteamLobby.JOINED and not state.greeted then
        local owner = SteamLobby.owner(state.lobby)
        say("joined; the lobby has " .. SteamLobby.num_members(state.lobby) .. " members, owner " .. owner)
        RPC.greet(owner, "hello from the joiner")
        state.greeted = owner
    elseif state.greeted and not state.partner_gone and
        (SteamLobby.state(state.lobby) ~= SteamLobby.JOINED or SteamLobby.owner(state.lobby) ~= state.greeted) then
        state.partner_gone = true
        say("the lobby's owner " .. state.greeted .. " left")
    end
end

function online.update(dt)
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
end

function online.finished()
    if state.failed then
        return true
    end
    -- A partner that goes after it was heard has simply finished first.
    if state.heard and (state.partner_gone or state.time - state.heard >= linger_seconds) then
        say("done")
        return true
    end
    if state.partner_gone then
        say("the other player is gone; ending")
        state.failed = true
        return true
    end
    if state.time >= give_up_seconds then
        say("gave up after " .. give_up_seconds .. " seconds")
        state.failed = true
        return true
    end
    return false
end

function online.shutdown()
    -- Leaving the client here shows the order; the lobby goes with it. A script that keeps
    -- them to the end is fine too: the services shut them down first at exit.
    if state.client and state.role == "join" then
        Network.shutdown_steam_client(state.client)
        state.client = nil
    end
end

return online
