// The "physics_properties" resource: tables read and looked up by name, broken data refused,
// and which set is current as sets are brought in and out.
#include "physics_fixture.h"

#include "foundation/io/input_archive.h"
#include "resource/resource_manager.h"

#include <cstring>

namespace tallow::test {
namespace {

PhysicsPropertiesWriter sample_writer()
{
    PhysicsPropertiesWriter w;
    w.material("wood", {0, 0.5f, 0.1f, 0.6f, 0, 0});
    w.material("stone", {0, 0.8f, 0.0f, 2.5f, 0, 0});
    w.material("ice", {0, 0.05f, 0.0f, 0.9f, 0, 0});
    w.shape_template("default", 0, {1, ~0ull});
    w.shape_template("trigger", 64, {2, 1});
    w.actor_template("dynamic", actor_template(actor_dynamic, 10));
    w.actor_template("static", actor_template(0, 0));
    w.actor_template("kinematic", actor_template(actor_dynamic | actor_kinematic));
    w.collision_filter("all", {~0ull, ~0ull});
    w.collision_filter("high", {1ull << 40, 1ull << 41});
    return w;
}

TEST(PhysicsProperties, EmptyTablesLoadAndFindNothing)
{
    PhysicsPropertiesWriter w;
    std::vector<u8> bytes = w.write();
    ASSERT_EQ(bytes.size(), 20u);
    auto p = read_properties(bytes);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->find_material(NameId32("wood").value()), nullptr);
    EXPECT_EQ(p->find_shape_template(0), nullptr);
    EXPECT_EQ(p->find_actor_template(0xFFFFFFFFu), nullptr);
    EXPECT_EQ(p->find_collision_filter(1), nullptr);
}

TEST(PhysicsProperties, EveryEntryIsFoundAndNamesBetweenAreNot)
{
    PhysicsPropertiesWriter w = sample_writer();
    w.set_version(3); // the version word is read and not compared
    auto p = read_properties(w.write());
    ASSERT_TRUE(p);
    for (const auto &e : p->materials)
        EXPECT_EQ(p->find_material(e.name), &e.value);
    for (const auto &e : p->actor_templates)
        EXPECT_EQ(p->find_actor_template(e.name), &e.value);
    // Names one above and below each entry are absent (unless they are entries).
    for (const auto &e : p->shape_templates) {
        EXPECT_EQ(p->find_shape_template(e.name), &e.value);
        EXPECT_EQ(p->find_shape_template(e.name + 1), nullptr);
        EXPECT_EQ(p->find_shape_template(e.name - 1), nullptr);
    }
    const ShapeTemplate *trigger = p->find_shape_template(NameId32("trigger").value());
    ASSERT_TRUE(trigger);
    EXPECT_EQ(trigger->flags, 64u);
    EXPECT_EQ(trigger->zero, 0u);
    EXPECT_EQ(trigger->filter.belongs_to, 2u);
    const CollisionFilter *high = p->find_collision_filter(NameId32("high").value());
    ASSERT_TRUE(high);
    EXPECT_EQ(high->belongs_to, 1ull << 40); // the u64 fields sit unaligned in the bytes
    EXPECT_EQ(high->collides_with, 1ull << 41);
    EXPECT_FLOAT_EQ(p->find_material(NameId32("stone").value())->values[3], 2.5f);
    EXPECT_FLOAT_EQ(p->find_actor_template(NameId32("dynamic").value())->mass, 10.0f);
}

TEST(PhysicsProperties, BrokenDataIsRefused)
{
    std::vector<u8> good = sample_writer().write();
    auto with_count = [&](u32 offset, u32 count) {
        std::vector<u8> b = good;
        memcpy(b.data() + offset, &count, 4);
        return b;
    };
    PhysicsPropertiesWriter unsorted = sample_writer();
    unsorted.set_unsorted(true);
    PhysicsPropertiesWriter repeated;
    repeated.collision_filter(5, {1, 1});
    repeated.collision_filter(5, {2, 2});
    struct Case {
        const char *name;
        std::vector<u8> bytes;
    };
    const Case cases[] = {
        {"no bytes", {}},
        {"truncated", std::vector<u8>(good.begin(), good.end() - 1)},
        {"trailing bytes", [&] { auto b = good; b.push_back(0); return b; }()},
        {"count past the end", with_count(4, 0xFFFFFFFFu)},
        {"count one too many", with_count(4, 4)},
        {"unsorted", unsorted.write()},
        {"repeated name", repeated.write()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const char *reason = nullptr;
        EXPECT_EQ(read_properties(c.bytes, &reason), nullptr);
        EXPECT_TRUE(reason != nullptr);
    }
}

void *load(const ResourceTypeCallbacks &c, const std::vector<u8> &bytes)
{
    InputArchive archive(make_shared_reference<MemoryInputBuffer>(default_allocator(), bytes.data(), bytes.size()));
    ResourceLoadParams params{nullptr, physics_properties_type, NameId64("p"), archive, bytes.size(), default_allocator(), 0};
    return c.load(params);
}

void unload(const ResourceTypeCallbacks &c, void *data)
{
    c.unload(ResourceUnloadParams{nullptr, physics_properties_type, data, default_allocator(), 0});
}

TEST(PhysicsProperties, BringingOutAnOlderSetKeepsTheNewerCurrent)
{
    const ResourceTypeCallbacks c = physics_properties_callbacks();
    void *older = load(c, sample_writer().write());
    void *newer = load(c, PhysicsPropertiesWriter().write());
    ASSERT_TRUE(older && newer);
    EXPECT_EQ(load(c, {1, 2, 3}), nullptr);
    c.bring_in(nullptr, older);
    c.bring_in(nullptr, newer);
    EXPECT_EQ(current_physics_properties(), newer);
    c.bring_out(nullptr, older);
    EXPECT_EQ(current_physics_properties(), newer);
    c.bring_out(nullptr, newer);
    EXPECT_EQ(current_physics_properties(), nullptr);
    c.bring_in(nullptr, older);
    unload(c, older); // unloading the current set never leaves it current
    EXPECT_EQ(current_physics_properties(), nullptr);
    unload(c, newer);
}

} // namespace
} // namespace tallow::test
