// Writes seeds for fuzz_animation_resources with the shared writers: make_animation_seeds <dir>
// (the first byte of each picks the reader: 0 animation, 1 state_machine, 2 bones,
// 3 camera_animation).
#include "foundation/memory/memory_globals.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/writers/animation_writer.h"

#include <cstdio>
#include <string>

using namespace tallow;
using namespace tallow::test;

namespace {

void save(const std::string &path, u8 kind, std::vector<u8> bytes)
{
    bytes.insert(bytes.begin(), kind);
    fuzz::write_seed(path, bytes.data(), bytes.size());
}

AnimationSource two_tracks(u16 format)
{
    AnimationSource s;
    s.format = format;
    s.length = 2;
    s.keys = {{0, 1}, {1, 2}, {2, 3}};
    TrackPose a{{0, 0, 0}, {0, 0, 0, 1}}, b{{1, 2, 3}, {0, 0.6f, 0, 0.8f}};
    s.frames = {{0, {a, b}}, {1, {b, a}}, {2, {a, b}}};
    return s;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: make_animation_seeds <dir>\n");
        return 2;
    }
    memory_globals_init();
    std::string dir = argv[1];
    save(dir + "/raw.animation", 0, write_animation(two_tracks(6)));
    save(dir + "/quantized.animation", 0, write_animation(two_tracks(1)));
    StateMachineSource sm;
    sm.variable_names = {1};
    sm.variable_defaults = {0.5f};
    sm.bone_weight_sets = {{1, 0.5f}};
    StateSource s;
    s.type = 2;
    s.animations = {1, 2};
    s.transitions = {{9, 0, 0.2f, 1, 0}};
    s.events = {{0.5f, 3, 0}};
    s.weight_expressions = {s.add_expression(Expression().var(0).push_float(0).op(8).end()),
                            s.add_expression(Expression().var(0).push_int(1).push_int(2).push_int(3).op(9).end())};
    s.speed_expression = s.add_expression(Expression().push_float(1.5f).op(6).op(10).end());
    s.bone_weight_set = 0;
    sm.layers = {{{s}, 0}};
    save(dir + "/blend.state_machine", 1, write_state_machine(sm));
    save(dir + "/three.bones", 2, write_bones({"root", "hips", "spine"}));
    CameraAnimationSource camera;
    camera.names = {"cam"};
    camera.tracks16 = {{0, 0, 0, 0, 1, 1, 0, 0}};
    camera.tracks20 = {{0, 0, 0, 0, 1}};
    camera.tracks8 = {{0, 60}};
    camera.table_a = {{1, "cam"}};
    save(dir + "/one.camera_animation", 3, write_camera_animation(camera));
    memory_globals_shutdown();
    return 0;
}
