#pragma once
// The World's animation service: the world's AnimationPlayer and SimpleAnimationPlayer
// behind IWorldAnimation (world/world_animation.h). Simple animations play the unit
// resource's simple-animation data (an animation in the layout of animation/animation_data.h)
// on the nodes of a group; data that is not a valid animation is refused when played
// (logged). Blenders and state machines are not built yet: asking for one logs that once
// and gets null.
//
//   WorldServiceFactories factories;
//   factories.animation = create_animation_service;
//
// Main thread only, like the World; update_player samples on the world's thread pool.

#include "world/world_services.h"

namespace tallow {

class AnimationPlayer;
class IWorldAnimation;
class SimpleAnimationPlayer;

IWorldAnimation *create_animation_service(const WorldServiceParams &params);
/// The players behind a service made here; null for any other IWorldAnimation.
AnimationPlayer *animation_player_of(IWorldAnimation &service);
SimpleAnimationPlayer *simple_animation_player_of(IWorldAnimation &service);

} // namespace tallow
