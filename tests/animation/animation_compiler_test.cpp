// The animation compiler: sources into animations the engine reads and samples as written.
#include "tests/animation/animation_fixture.h"
#include "tools/animation/animation_compiler.h"
#include "tools/world/unit_compiler.h"

#include <cstring>

namespace tallow::test {
namespace {

bool compile(const char *text, std::vector<u8> &out, std::string &error)
{
    return compile_animation_source(text, strlen(text), out, error);
}

TEST(AnimationCompiler, KeysPerTrackBecomeKeyFramesOfEveryTrack)
{
    const char *text = "format = \"raw\"\n"
                       "events = [ { time = 1.5 name = \"late\" } { time = 0.5 name = \"early\" } ]\n"
                       "tracks = [\n"
                       "  { node = \"a\" keys = [ { time = 0 position = [0 0 0] } { time = 2 position = [2 0 0] } ] }\n"
                       "  { node = \"b\" keys = [ { time = 1 position = [0 5 0] rotation = [0 0 1 0] } ] }\n"
                       "]\n";
    std::vector<u8> bytes;
    std::string error;
    ASSERT_TRUE(compile(text, bytes, error)) << error;
    AnimationView v;
    ASSERT_TRUE(read_animation(bytes.data(), bytes.size(), v));
    EXPECT_EQ(v.track_count, 2u);
    EXPECT_EQ(v.length, 2.0f) << "the last key time";
    ASSERT_EQ(v.frame_count, 2u) << "frames at 0, 1 and 2";
    ASSERT_EQ(v.key_count, 2u);
    EXPECT_EQ(v.key_time(0), 0.5f) << "events sorted by time";
    Quaternion r[2];
    Vector3 t[2];
    sample_animation(v, 1.0f, r, t);
    EXPECT_FLOAT_EQ(t[0].x, 1.0f) << "track a interpolated at b's key";
    EXPECT_FLOAT_EQ(t[1].y, 5.0f) << "track b held before and after its only key";
    EXPECT_FLOAT_EQ(r[1].z, 1.0f);
}

TEST(AnimationCompiler, WrongSourcesAreReported)
{
    const struct {
        const char *text, *message;
    } cases[] = {
        {"tracks = [ { keys = [ { time = 1 } { time = 0.5 } ] } ]", "key times must ascend"},
        {"length = 1 tracks = [ { keys = [ { time = 2 } ] } ]", "'length' must not be below"},
        {"format = \"packed\"", "'format' must be"},
        {"speed = 2", "unknown key 'speed'"},
        {"tracks = [ { keys = [ ] } ]", "one key or more"},
        {"tracks = [ { keys = [ { time = 0 position = [1 2] } ] } ]", "array of 3 numbers"},
        {"length = 1 events = [ { time = 3 name = \"x\" } ]", "outside the animation"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<u8> bytes;
        std::string error;
        EXPECT_FALSE(compile(c.text, bytes, error));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
}

TEST(AnimationCompiler, UnitGroupsNeedANodePerTrack)
{
    const char *text = "nodes = [ { name = \"root\" } { name = \"a\" parent = \"root\" } ]\n"
                       "simple_animations = [ { name = \"open\" nodes = [\"a\"] } ]\n"
                       "simple_animation_data = { tracks = [ { keys = [ { time = 0 } ] } { keys = [ { time = 0 } ] } ] }\n";
    std::vector<u8> bytes;
    std::string error;
    EXPECT_FALSE(compile_unit_source(text, strlen(text), bytes, error));
    EXPECT_NE(error.find("more than a simple animation group has nodes"), std::string::npos) << error;
}

} // namespace
} // namespace tallow::test
