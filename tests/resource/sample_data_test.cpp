// The shipped sample data as the build compiles it (tools/build_data.cpp): the boot
// package loads from the loose-file database and from its bundle to the same bytes,
// and its script is the source file with its length in front.
#include "tests/resource/resource_fixture.h"

#include <fstream>
#include <sstream>

namespace tallow::test {
namespace {

class SampleDataTest : public ResourceFixture {};

TEST_F(SampleDataTest, BootPackageLoadsTheSameInBothModes)
{
    std::ifstream source(TALLOW_SOURCE_DATA_DIR "/boot.lua", std::ios::binary);
    std::stringstream text;
    text << source.rdbuf();
    ASSERT_FALSE(text.str().empty());

    std::string loaded[2];
    for (int mode = 0; mode < 2; ++mode) {
        SCOPED_TRACE(mode ? "bundles" : "database");
        ExplodedDatabase *db = mode ? nullptr : make_new<ExplodedDatabase>(allocator, TALLOW_BUILT_DATA_DIR, allocator);
        ResourceLoader *sample_loader = make_new<ResourceLoader>(allocator, &registry, db, allocator);
        ResourceManager *sample = make_new<ResourceManager>(allocator, *sample_loader, allocator);
        register_resource_types(*sample, nullptr);
        sample->register_type(NameId64("lua"), ResourceTypeCallbacks{}); // raw here
        DiskFileSystem bundles(TALLOW_BUILT_DATA_DIR "/bundles", default_allocator());
        ResourcePackage *boot =
            create_resource_package(allocator, *sample, mode ? &bundles : nullptr, NameId64("boot"), nullptr, 0);
        ASSERT_NE(boot, nullptr);
        boot->load();
        boot->flush();
        auto *bytes = static_cast<const u8 *>(sample->get(NameId64("lua"), NameId64("boot")));
        ASSERT_NE(bytes, nullptr);
        u32 length = u32(bytes[0]) | u32(bytes[1]) << 8 | u32(bytes[2]) << 16 | u32(bytes[3]) << 24;
        loaded[mode] = std::string(reinterpret_cast<const char *>(bytes) + 4, length);
        boot->unload();
        delete_with_allocator(allocator, boot);
        delete_with_allocator(allocator, sample);
        delete_with_allocator(allocator, sample_loader);
        delete_with_allocator(allocator, db);
    }
    EXPECT_EQ(loaded[0], text.str());
    EXPECT_EQ(loaded[1], text.str());
}

} // namespace
} // namespace tallow::test
