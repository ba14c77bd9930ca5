-- The sample's saved game: what the last run left behind, restored on the next start.
--
-- At init the boot script calls SavedGame.begin_restore(), then SavedGame.finish_restore(),
-- which waits (a little, as start-up waits for its packages) for the load to end, so that
-- the game's first frame is the same in every run whatever the save thread's timing; a load
-- slower than that is polled every frame by SavedGame.poll(). Either hands the saved table
-- to the callback given (or nothing, on the first start or when the save is missing or
-- broken). At shutdown
-- SavedGame.store(state) starts the save; the save system finishes writing it before the
-- program ends. Without a save directory ("save_dir") nothing is saved.

SavedGame = {}

local save_name = "sample"
local token

function SavedGame.begin_restore()
    token = SaveSystem.auto_load(save_name)
end

-- Calls on_loaded(state) once the load is done; state is nil when there was no usable save.
function SavedGame.poll(on_loaded)
    if not token then
        return
    end
    local p = SaveSystem.progress(token)
    if not p.done then
        return
    end
    SaveSystem.close(token)
    token = nil
    if p.error == "TORVALEN_SAVEDATA_ERROR_MISSING" then
        print("boot: no saved game yet")
    elseif p.error then
        print("boot: the saved game could not be read (" .. p.error .. "); starting afresh")
    end
    on_loaded(p.data)
end

-- Waits up to `seconds` of processor time for the load to end; true when it has (and
-- on_loaded has been called).
function SavedGame.finish_restore(on_loaded, seconds)
    local start = os.clock()
    while token and os.clock() - start < seconds do
        SavedGame.poll(on_loaded)
    end
    return token == nil
end

function SavedGame.store(state)
    if token then
        SaveSystem.close(token) -- quit before the load finished
        token = nil
    end
    local t = SaveSystem.auto_save(save_name, state)
    print("boot: saving the game (run " .. state.runs .. ")")
    -- The token is left open: the save finishes on the save thread as the program ends.
    return t
end
