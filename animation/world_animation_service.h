#pragma once
// The World's animation service: the world's AnimationPlayer and SimpleAnimationPlayer
// behind IWorldAnimation (world/services/world_animation.h). Simple animations play the unit
// resource's simple-animation data (an animation in the layout of animation/animation_data.h)
// on the nodes of a group; data that is not a valid animation is refused when played
// (logged). Animated units get a blender (animation/animation_blender.h) over their "bones"
// resource and, when their resource names one, a state machine
// (animation/animation_state_machine.h) that finds its animations through the resource
// manager. The frame runs state machines, simple animations, the player's sampling job,
// the blender job, then writes simple poses; the World then walks the state machines'
// event stream into unit flow events.
//
//   WorldServiceFactories factories;
//   factories.animation = create_animation_service;
//
// Main thread only, like the World; update_player samples on the world's thread pool.

#include "world/services/world_services.h"

namespace tallow {

class AnimationBlenders;
class AnimationPlayer;
class AnimationStateMachines;
class IWorldAnimation;
class SimpleAnimationPlayer;

IWorldAnimation *create_animation_service(const WorldServiceParams &params);
/// The players behind a service made here; null for any other IWorldAnimation.
AnimationPlayer *animation_player_of(IWorldAnimation &service);
SimpleAnimationPlayer *simple_animation_player_of(IWorldAnimation &service);
AnimationBlenders *animation_blenders_of(IWorldAnimation &service);
AnimationStateMachines *animation_state_machines_of(IWorldAnimation &service);

} // namespace tallow
