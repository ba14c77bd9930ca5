// The physics properties compiler: the sample's source compiles into tables the reader
// takes, and sources it does not fully understand fail with the entry named.
#include "foundation/io/input_archive.h"
#include "foundation/io/memory_buffer.h"
#include "foundation/memory/memory_globals.h"
#include "physics/physics_properties.h"
#include "tools/physics/physics_properties_compiler.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace tallow {
namespace {

bool compile(const std::string &text, std::vector<u8> &out, std::string &error)
{
    return compile_physics_properties_source(text.data(), text.size(), out, error);
}

TEST(PhysicsPropertiesCompiler, SampleSourceCompilesIntoReadableTables)
{
    std::ifstream in(std::string(TALLOW_SOURCE_DATA_DIR) + "/physics/sample.physics_properties");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(text.empty());
    std::vector<u8> bytes;
    std::string error;
    ASSERT_TRUE(compile(text, bytes, error)) << error;
    PhysicsProperties p(default_allocator());
    InputArchive archive(make_shared_reference<MemoryInputBuffer>(default_allocator(), bytes.data(), bytes.size()));
    ASSERT_TRUE(p.read(archive));
    const ActorTemplate *kinematic = p.find_actor_template(NameId32("kinematic").value());
    ASSERT_TRUE(kinematic);
    EXPECT_EQ(kinematic->flags, 3u);
    const ShapeTemplate *shape = p.find_shape_template(NameId32("default").value());
    ASSERT_TRUE(shape);
    EXPECT_EQ(shape->filter.belongs_to, 1u);
    EXPECT_EQ(shape->filter.collides_with, 3u);
    ASSERT_TRUE(p.find_material(NameId32("wood").value()));
    EXPECT_FLOAT_EQ(p.find_material(NameId32("wood").value())->values[3], 0.6f);
}

TEST(PhysicsPropertiesCompiler, UnclearSourcesFailNamingTheEntry)
{
    struct Case {
        const char *name;
        const char *text;
        const char *expect;
    };
    const Case cases[] = {
        {"unknown key", "materials = [ { name = \"a\" colour = 1 } ]", "unknown key 'colour'"},
        {"repeated name", "collision_filters = [ { name = \"a\" } { name = \"a\" } ]", "given twice"},
        {"group out of range", "shape_templates = [ { name = \"a\" belongs_to = [64] } ]", "outside 0-63"},
        {"five values", "materials = [ { name = \"a\" values = [1 2 3 4 5] } ]", "6 numbers"},
        {"no name", "actor_templates = [ { mass = 1 } ]", "needs a 'name'"},
        {"unknown table", "joints = []", "unknown key 'joints'"},
        {"unquoted text", "materials = [ { name = wood } ]", "texts need quotes"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<u8> out;
        std::string error;
        EXPECT_FALSE(compile(c.text, out, error));
        EXPECT_NE(error.find(c.expect), std::string::npos) << error;
    }
}

} // namespace
} // namespace tallow
