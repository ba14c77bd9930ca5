// "bones", "camera_animation" and "animation" resources: round trips and refusals.
#include "animation/animation_resources.h"
#include "foundation/memory/memory_globals.h"
#include "tests/animation/animation_fixture.h"

namespace tallow::test {
namespace {

TEST(AnimationResources, BonesRoundTripWithEmptyNames)
{
    for (const std::vector<std::string> &names : {std::vector<std::string>{}, {"hips", "", "spine_01"}}) {
        std::vector<u8> bytes = write_bones(names);
        BonesResource *bones = read_bones(bytes.data(), bytes.size(), default_allocator());
        ASSERT_NE(bones, nullptr);
        ASSERT_EQ(bones->names.size(), names.size());
        for (u32 i = 0; i < names.size(); ++i)
            EXPECT_STREQ(bones->names[i].c_str(), names[i].c_str());
        delete_with_allocator(default_allocator(), bones);
    }
}

CameraAnimationSource two_cameras()
{
    CameraAnimationSource s;
    s.names = {"cam_a", "cam_b"};
    s.tracks16 = {{0, 1, 2, 3, 1, 4, 5, 6}, {}};
    s.tracks20 = {{0, 0, 0, 0, 1}, {0, 0, 0, 1, 0}};
    s.tracks8 = {{0, 45, 2, 60}, {0, 30}};
    s.table_a = {{1, "cam_a"}, {2, "cam_b"}};
    s.table_b = {{7, ""}};
    return s;
}

TEST(AnimationResources, CameraAnimationRoundTrip)
{
    std::vector<u8> bytes = write_camera_animation(two_cameras());
    CameraAnimationResource *c = read_camera_animation(bytes.data(), bytes.size(), default_allocator());
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c->names[1].c_str(), "cam_b");
    ASSERT_EQ(c->tracks16.size(), 2u);
    EXPECT_EQ(c->tracks16[0].size(), 8u);
    EXPECT_EQ(c->tracks16[0][7], 6.0f);
    EXPECT_EQ(c->tracks16[1].size(), 0u);
    EXPECT_EQ(c->tracks20[1][3], 1.0f);
    EXPECT_EQ(c->tracks8[0][3], 60.0f);
    EXPECT_EQ(c->table_a[1].id, 2u);
    EXPECT_STREQ(c->table_a[1].name.c_str(), "cam_b");
    EXPECT_STREQ(c->table_b[0].name.c_str(), "");
    delete_with_allocator(default_allocator(), c);
    std::vector<u8> empty = write_camera_animation({});
    c = read_camera_animation(empty.data(), empty.size(), default_allocator());
    ASSERT_NE(c, nullptr);
    delete_with_allocator(default_allocator(), c);
}

TEST(AnimationResources, CutOrPaddedBytesAreRefused)
{
    std::vector<u8> bones = write_bones({"a", "bc"});
    std::vector<u8> camera = write_camera_animation(two_cameras());
    for (u32 n = 0; n < bones.size(); ++n)
        EXPECT_EQ(read_bones(bones.data(), n, default_allocator()), nullptr) << n;
    for (u32 n = 0; n < camera.size(); ++n)
        EXPECT_EQ(read_camera_animation(camera.data(), n, default_allocator()), nullptr) << n;
    bones.push_back(0);
    EXPECT_EQ(read_bones(bones.data(), bones.size(), default_allocator()), nullptr);
    std::vector<u8> huge = {0xFF, 0xFF, 0xFF, 0x7F};
    EXPECT_EQ(read_bones(huge.data(), huge.size(), default_allocator()), nullptr);
}

TEST(AnimationResources, AnimationResourceKeepsACheckedViewOfItsOwnCopy)
{
    std::vector<u8> bytes = write_animation(slide(2, 1, {{1, 3}}));
    AnimationResource *a = read_animation_resource(bytes.data(), bytes.size(), default_allocator());
    ASSERT_NE(a, nullptr);
    EXPECT_NE(a->view.bytes, bytes.data());
    EXPECT_EQ(a->view.key_id(0), 3u);
    EXPECT_EQ(a->view.format, animation_format_quantized);
    default_allocator().deallocate(a);
    bytes.pop_back();
    EXPECT_EQ(read_animation_resource(bytes.data(), bytes.size(), default_allocator()), nullptr);
}

} // namespace
} // namespace tallow::test
