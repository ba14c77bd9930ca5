#pragma once
// The game object's interface as the engine knows it, and the factory that makes this
// program's game.
//
//   ApplicationParams params;
//   params.game_factory = make_game;     // builds a MyGame
//
// `Game` is the interface the Application drives (see application/game_interface.h for
// the operations and when they are called); `MyGame` (application/my_game.h) is its one
// implementation, which runs the boot script.

#include "application/game_interface.h"

namespace tallow {

using Game = IGame;

/// Makes this program's game (a MyGame) through `allocator`; null on failure. A GameFactory.
IGame *make_game(Allocator &allocator, Application &application);

} // namespace tallow
