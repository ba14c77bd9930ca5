// The sound world: ids, the update's order, buses, links, end of play and bad input.
#include "tests/sound/sound_fixture.h"
#include "tests/support/log_capture.h"

#include <algorithm>

namespace tallow::test {
namespace {

std::vector<u8> mono(u32 frames, i16 value = 4000, u32 bus = 0)
{
    return write_pcm16_resource(1, 48000, std::vector<i16>(frames, value), bus);
}

TEST_F(SoundWorldFixture, IdsCountUpAndSurviveSwapRemoval)
{
    make();
    const std::vector<u8> bytes = mono(4800);
    SoundResource r = as_resource(bytes);
    EXPECT_EQ(world->play(&r, true, 0), 1u);
    EXPECT_EQ(world->play(&r, true, 0), 2u);
    EXPECT_EQ(world->play(&r, true, 0), 3u);
    world->stop(1); // 3 moves into 1's place
    EXPECT_TRUE(world->validate());
    world->set_source_volume(3, 0.5f);
    EXPECT_EQ(world->source(3)->volume, 0.5f);
    EXPECT_EQ(world->source(2)->volume, 1.0f);
    EXPECT_EQ(world->play(&r, true, 0), 4u) << "ids are not reused";
    world->stop(1); // not live: nothing
    world->set_source_range(1, 3.0f);
    EXPECT_EQ(world->source_count(), 3u);
    world->update();
    EXPECT_TRUE(world->validate());
}

TEST_F(SoundWorldFixture, StopBeforeTheFirstUpdateSkipsTheStartAndFreesTheStream)
{
    make();
    const std::vector<u8> wav = write_vorbis_resource(read_test_file("tone_mono_8k.ogg"), 1, 8000, 0);
    SoundResource r = as_resource(wav);
    u32 id = world->play(&r, false, 0);
    ASSERT_NE(id, 0u);
    world->stop(id);
    EXPECT_EQ(world->source_count(), 0u);
    EXPECT_EQ(world->stream_count(), 1u);
    world->update();
    EXPECT_EQ(world->stream_count(), 0u);
    EXPECT_EQ(world->device()->engine()->voice_count(), 2u); // master and reverb
}

TEST_F(SoundWorldFixture, SampleEndsInTheUpdateAfterItsDataPlayedAndLoopingNeverDoes)
{
    make();
    const std::vector<u8> bytes = mono(1000);
    SoundResource r = as_resource(bytes);
    u32 once = world->play(&r, false, 0);
    u32 loop = world->play(&r, true, 0);
    world->update(); // starts both
    render(960);
    world->update();
    EXPECT_NE(world->source(once), nullptr) << "40 frames are still to play";
    render(960);
    world->update();
    EXPECT_EQ(world->source(once), nullptr);
    EXPECT_NE(world->source(loop), nullptr);
    for (int i = 0; i < 10; ++i) {
        render(960);
        world->update();
    }
    EXPECT_NE(world->source(loop), nullptr);
}

TEST_F(SoundWorldFixture, BusVolumesKeepOnlyWhatDiffersFromOne)
{
    make();
    const std::vector<u8> bytes = mono(4800, 4000, 77); // default bus 77
    SoundResource r = as_resource(bytes);
    u32 a = world->play(&r, true, 0);
    u32 b = world->play(&r, true, 5);
    EXPECT_EQ(world->source(a)->bus, 77u);
    EXPECT_EQ(world->source(b)->bus, 5u);
    world->set_bus_volume(77, 0.25f);
    EXPECT_EQ(world->source(a)->bus_volume, 0.25f);
    EXPECT_EQ(world->source(b)->bus_volume, 1.0f);
    EXPECT_EQ(world->listed_bus_count(), 1u);
    world->source(a)->bus_volume = 0.9f; // a repeat of the listed value changes nothing
    world->set_bus_volume(77, 0.25f);
    EXPECT_EQ(world->source(a)->bus_volume, 0.9f);
    u32 c = world->play(&r, true, 0);
    EXPECT_EQ(world->source(c)->bus_volume, 0.25f) << "a later sound takes the stored volume";
    world->set_bus_volume(77, 1.0f);
    EXPECT_EQ(world->listed_bus_count(), 0u);
    EXPECT_EQ(world->source(c)->bus_volume, 1.0f);
}

TEST_F(SoundWorldFixture, LinksFollowTheirNodeAndGoWithTheirUnit)
{
    make();
    const std::vector<u8> bytes = mono(4800);
    SoundResource r = as_resource(bytes);
    u32 a = world->play(&r, true, 0);
    u32 b = world->play(&r, true, 0);
    units.units[10] = {pose_at(1, 2, 3), pose_at(4, 5, 6)};
    units.units[11] = {pose_at(7, 8, 9)};
    world->link_source(a, 10, 1);
    world->link_source(b, 11, 0);
    world->link_source(b, 11, 5); // a node the unit lacks: dropped at the update
    world->update();
    EXPECT_EQ(world->link_count(), 2u);
    EXPECT_TRUE(world->source(a)->positional);
    EXPECT_EQ(translation(world->source(a)->pose).z, 6.0f);
    units.units[10][1] = pose_at(0, 0, 1);
    units.units.erase(11); // its unit is destroyed: b keeps its last pose
    world->update();
    EXPECT_EQ(world->link_count(), 1u);
    EXPECT_EQ(translation(world->source(a)->pose).z, 1.0f);
    EXPECT_EQ(translation(world->source(b)->pose).x, 7.0f);
    world->stop(a);
    world->update();
    EXPECT_EQ(world->link_count(), 0u);
}

TEST_F(SoundWorldFixture, NothingPlaysFromMissingOrBrokenResources)
{
    make();
    LogCapture log;
    EXPECT_EQ(world->play(nullptr, false, 0), 0u);
    struct Case {
        const char *name;
        std::vector<u8> bytes;
    };
    std::vector<u8> past_end = mono(100);
    u32 huge = 0xFFFFFFF0u;
    memcpy(past_end.data() + 4, &huge, 4); // offset + size wraps past 4 GiB
    std::vector<u8> offset_past = mono(100);
    u32 offset = 1000;
    memcpy(offset_past.data(), &offset, 4);
    std::vector<u8> adpcm = mono(100);
    adpcm[44] = 2;
    std::vector<u8> odd = mono(100);
    u32 size = 199;
    memcpy(odd.data() + 4, &size, 4);
    std::vector<u8> junk_vorbis = write_vorbis_resource(std::vector<u8>(300, 7), 1, 8000, 0);
    // A comment header whose vendor string claims 4 GiB: the decoder would trust it.
    std::vector<u8> ogg = read_test_file("tone_mono_8k.ogg");
    const u8 comment[7] = {3, 'v', 'o', 'r', 'b', 'i', 's'};
    auto at = std::search(ogg.begin(), ogg.end(), comment, comment + 7);
    ASSERT_NE(at, ogg.end());
    for (int i = 7; i < 11; ++i)
        at[i] = 0xFF;
    std::vector<u8> long_vendor = write_vorbis_resource(ogg, 1, 8000, 0);
    const Case cases[] = {{"short head", std::vector<u8>(40, 0)},
                          {"size past the end", past_end},
                          {"offset past the end", offset_past},
                          {"unplayable format", adpcm},
                          {"part frame", odd},
                          {"not Vorbis", junk_vorbis},
                          {"comment longer than its header", long_vendor}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SoundResource r = as_resource(c.bytes);
        EXPECT_EQ(world->play(&r, false, 0), 0u);
    }
    EXPECT_EQ(world->source_count(), 0u);
    EXPECT_EQ(world->stream_count(), 0u);
    EXPECT_EQ(world->device()->engine()->voice_count(), 2u);
    world->set_environment(nullptr); // not loaded: ignored
}

TEST(SoundWorld, WithoutADevicePlayReturnsZeroAndTheRestDoesNothing)
{
    struct Case {
        const char *name;
        bool disabled;
        SoundSettings settings;
    };
    SoundSettings bad = manual_settings(9); // no such output: the device fails part way
    const Case cases[] = {{"disabled", true, manual_settings()}, {"failed start", false, bad}};
    const std::vector<u8> bytes = mono(100);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        SoundWorld world(default_allocator(), c.settings, c.disabled, nullptr);
        EXPECT_FALSE(world.has_device());
        SoundResource r = as_resource(bytes);
        EXPECT_EQ(world.play(&r, true, 0), 0u);
        world.stop(1);
        world.set_source_volume(1, 0.5f);
        world.link_source(1, 1, 0);
        world.set_bus_volume(3, 0.5f);
        world.update();
        EXPECT_EQ(world.link_count(), 0u);
    }
}

TEST(SoundDevice, ShutdownAfterAPartialInitFreesWhatWasMade)
{
    TraceAllocator counting("test", default_allocator());
    {
        SoundDevice device(counting, manual_settings(0));
        LogCapture log;
        EXPECT_FALSE(device.init());
        device.shutdown();
        device.shutdown();
    }
    {
        SoundDevice device(counting, manual_settings(2));
        EXPECT_TRUE(device.init());
        device.shutdown();
        device.shutdown();
    }
    EXPECT_EQ(counting.allocation_count(), 0u);
}

} // namespace
} // namespace tallow::test
