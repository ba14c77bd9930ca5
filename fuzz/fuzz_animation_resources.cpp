// The animation readers: the first byte picks "animation", "state_machine", "bones" or
// "camera_animation"; the rest is the resource. What loads is then used the way the engine
// uses it: an animation is played, advanced (looping and not) and sampled; every expression
// of a state machine is evaluated. Any bytes either load and run within bounds or are refused.
#include "animation/animation_player.h"
#include "animation/animation_resources.h"
#include "animation/state_machine_resource.h"
#include "fuzz/fuzz_support.h"

#include <vector>

using namespace tallow;

namespace {

void run_animation(const u8 *data, size_t size)
{
    AnimationResource *a = read_animation_resource(data, size, default_allocator());
    if (!a)
        return;
    AnimationPlayer player(default_allocator(), nullptr);
    u32 looping = player.play(&a->view, true);
    u32 once = player.play(&a->view, false);
    u32 ids[max_animation_events];
    const f32 steps[] = {0.016f, 0.5f, 3.0f, -1.0f, 1000.0f};
    for (f32 dt : steps) {
        player.add_pending_time(looping, dt);
        player.add_pending_time(once, dt);
        player.update();
        (void)player.take_events(looping, ids);
    }
    player.set_time(looping, a->view.length * 0.5f);
    player.update();
    player.stop(looping);
    player.stop(once);
    default_allocator().deallocate(a);
}

void run_state_machine(const u8 *data, size_t size)
{
    StateMachineResource *sm = read_state_machine(data, size, default_allocator());
    if (!sm)
        return;
    Array<f32> variables(default_allocator()), stack(default_allocator());
    variables = sm->variable_defaults;
    for (const StateMachineLayer &layer : sm->layers)
        for (const StateMachineState &s : layer.states) {
            for (u32 offset : s.weight_expressions)
                (void)eval_float_expression(s.code, offset, variables, stack);
            (void)eval_float_expression(s.code, s.speed_expression, variables, stack);
            (void)choose_random_animation(s, 0.5f);
        }
    destroy_state_machine_resource(sm, default_allocator());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    if (size == 0)
        return 0;
    // A copy of exactly the resource's bytes, so a read past the end is caught.
    std::vector<u8> bytes(data + 1, data + size);
    switch (data[0] % 4) {
    case 0:
        run_animation(bytes.data(), bytes.size());
        break;
    case 1:
        run_state_machine(bytes.data(), bytes.size());
        break;
    case 2:
        delete_with_allocator(default_allocator(), read_bones(bytes.data(), bytes.size(), default_allocator()));
        break;
    default:
        delete_with_allocator(default_allocator(),
                              read_camera_animation(bytes.data(), bytes.size(), default_allocator()));
        break;
    }
    return 0;
}
