#pragma once
// The game object: the game-specific part of the program that the Application drives.
//
//   IGame *make_my_game(Allocator &allocator, Application &application);   // a GameFactory
//   ApplicationParams params;  params.game_factory = make_my_game;
//
// The Application creates the game once (after the window, before the renderer), calls
// `setup_platform` at once, `init` as the last start-up step, `update` and `render` once per
// frame, and destroys it first at shutdown (through the allocator it passed the factory)
// while every other service still exists. A new game implements the operations it needs;
// the defaults do nothing. Main thread only.

#include "foundation/types.h"

namespace tallow {

class Allocator;
class Application;
class ConfigValue;
class StateHasher;

class IGame {
  public:
    virtual ~IGame() = default;
    /// Starts the online platform services. Called right after creation.
    virtual void setup_platform() {}
    /// Registers the script API and runs the boot script's `init`. Last start-up step.
    /// False when the game cannot run at all (its boot script did not load or its `init`
    /// raised, logged): the start-up then fails.
    [[nodiscard]] virtual bool init() { return true; }
    /// One frame of game logic with the filtered frame step.
    virtual void update(f32 dt_seconds) { (void)dt_seconds; }
    /// Queues this frame's rendering.
    virtual void render() {}
    /// Sets the game's paused flag.
    virtual void pause() {}
    /// Hot reload of one resource (type and name ids).
    virtual void reload(u64 type_id, u64 name_id) { (void)type_id, (void)name_id; }
    /// A development console command; returns whether it was handled.
    virtual bool console_command(ConfigValue &command) { (void)command; return false; }
    /// Adds the simulation state the game holds outside its worlds (Application::state_hash).
    virtual void hash_state(StateHasher &hasher) { (void)hasher; }
};

/// Makes the game object through `allocator`; returns null on failure (the Application
/// then runs without a game and says so in the log).
using GameFactory = IGame *(*)(Allocator &allocator, Application &application);

} // namespace tallow
