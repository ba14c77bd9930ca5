// The World's sound functions over a whole Application whose worlds have the sound
// service (manual output: the test mixes), with "wav" resources in its data.
#include "tests/script/boot_script_fixture.h"

#include "sound/sound_resource.h"
#include "sound/sound_world.h"
#include "sound/world_sound_service.h"
#include "tests/support/writers/sound_resource_writer.h"
#include "world/world.h"

namespace tallow::test {
namespace {

std::string bytes_of(const std::vector<u8> &v) { return std::string(v.begin(), v.end()); }

class WorldSoundApiTest : public BootScriptTest {
  protected:
    WorldSoundApiTest()
    {
        world_services.sound = create_manual_sound_service;
        register_resource_types = register_sound_resource_types;
        audio::I3dl2Reverb hall = audio::i3dl2_cave();
        hall.decay_time = 1.0f;
        write_data({
            {"package", "boot",
             package_resource({{"unit", "units/arm"}, {"wav", "sounds/tone"}, {"sound_environment", "hall"}})},
            {"unit", "units/arm",
             compiled_unit("nodes = [ { name = \"root\" }\n"
                           "  { name = \"tip\" parent = \"root\" position = [4 0 0] } ]\n")},
            {"wav", "sounds/tone", bytes_of(write_pcm16_resource(1, 48000, std::vector<i16>(4800, 3000), 0))},
            {"sound_environment", "hall", bytes_of(write_sound_environment(hall))},
        });
    }
    SoundWorld *sounds()
    {
        World *world = app->worlds().empty() ? nullptr : app->worlds()[0];
        return world ? sound_world_of(world->sound()) : nullptr;
    }
};

TEST_F(WorldSoundApiTest, ScriptsPlayPlaceLinkAndStopSounds)
{
    EXPECT_EQ(run_boot("w = Application.new_world()\n"
                       "local a = World.play_sound(w, 'sounds/tone', true)\n"
                       "local b = World.play_sound(w, 'sounds/tone', false, 12, Vector3(1, 2, 3), 'effects')\n"
                       "assert(a == 1 and b == 2, tostring(a) .. ' ' .. tostring(b))\n"
                       "assert(World.play_sound(w, 'sounds/missing') == 0)\n"
                       "World.set_sound_volume(w, a, 0.5)\n"
                       "World.set_sound_range(w, a, 30)\n"
                       "World.set_sound_position(w, a, Vector3(0, 5, 0))\n"
                       "World.set_mixer_volume(w, 'effects', 0.25)\n"
                       "World.set_listener(w, Matrix4x4.identity())\n"
                       "World.set_sound_environment(w, 'hall')\n"
                       "World.set_sound_environment(w, 'not_loaded')\n"
                       "local arm = World.spawn_unit(w, 'units/arm', Vector3(10, 0, 0))\n"
                       "World.link_sound(w, a, arm, 1)\n"
                       "local ok, err = pcall(World.link_sound, w, a, arm, 2)\n"
                       "assert(not ok and err:find('node index 2 is out of range'), err)\n"
                       "World.stop_sound(w, 99)\n"
                       "World.update(w)\n"),
              "");
    SoundWorld *s = sounds();
    ASSERT_NE(s, nullptr);
    ASSERT_NE(s->source(1), nullptr);
    EXPECT_EQ(s->source(1)->volume, 0.5f);
    EXPECT_EQ(s->source(1)->range, 30.0f);
    EXPECT_EQ(translation(s->source(1)->pose).x, 14.0f) << "linked to the arm's tip";
    ASSERT_NE(s->source(2), nullptr);
    EXPECT_EQ(s->source(2)->range, 12.0f);
    EXPECT_EQ(s->source(2)->bus_volume, 0.25f);
    EXPECT_EQ(translation(s->source(2)->pose).z, 3.0f);
    EXPECT_EQ(s->link_count(), 1u);
}

TEST_F(WorldSoundApiTest, WithoutTheServiceTheFunctionsRaise)
{
    world_services.sound = nullptr;
    EXPECT_NE(run_boot("World.play_sound(Application.new_world(), 'sounds/tone')").find(
                  "World.play_sound: the sound service is not built yet"),
              std::string::npos);
}

TEST_F(WorldSoundApiTest, SoundDisabledPlaysNothing)
{
    write_settings("sound = { disabled = true }\n");
    EXPECT_EQ(run_boot("local w = Application.new_world()\n"
                       "assert(World.play_sound(w, 'sounds/tone', true) == 0)\n"
                       "World.stop_sound(w, 0)\n"
                       "World.update(w)\n"),
              "");
    ASSERT_NE(sounds(), nullptr);
    EXPECT_FALSE(sounds()->has_device());
}

} // namespace
} // namespace tallow::test
