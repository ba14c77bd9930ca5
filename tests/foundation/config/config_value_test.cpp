#include "foundation/config/config_value.h"

#include <gtest/gtest.h>

#include "tests/foundation/strings/strings_test_allocator.h"

#include <cstring>
#include <string>
#include <vector>

namespace tallow {
namespace {

// Builds flat config blobs by hand, record by record (u32 little-endian words), so the
// readers can be tested on good and on damaged bytes alike.
struct BlobBuilder {
    std::vector<u8> bytes = std::vector<u8>(8, 0); // the root record

    u32 end() const { return u32(bytes.size()); }
    void put(u32 offset, u32 word) { memcpy(bytes.data() + offset, &word, 4); }
    u32 append(u32 word)
    {
        u32 at = end();
        bytes.resize(at + 4);
        put(at, word);
        return at;
    }
    u32 text(const char *s)
    {
        u32 at = end();
        bytes.insert(bytes.end(), s, s + strlen(s) + 1);
        while (bytes.size() % 4)
            bytes.push_back(0);
        return at;
    }
    // Array record of `count` payloads, all zero for now; returns its offset.
    u32 array(u32 kind, u32 count)
    {
        u32 at = append(kind);
        append(count);
        for (u32 i = 0; i < count; ++i)
            append(0);
        return at;
    }
    void set_element(u32 array_at, u32 i, u32 payload) { put(array_at + 8 + 4 * i, payload); }
    u32 object(u32 count)
    {
        u32 at = append(count);
        for (u32 i = 0; i < count * 3; ++i)
            append(0);
        return at;
    }
    void set_member(u32 object_at, u32 i, u32 key, u32 kind, u32 payload)
    {
        put(object_at + 4 + 12 * i, key);
        put(object_at + 8 + 12 * i, kind);
        put(object_at + 12 + 12 * i, payload);
    }
    void set_root(u32 kind, u32 payload)
    {
        put(0, kind);
        put(4, payload);
    }
    ConstConfigValue root() const { return ConstConfigValue::root(bytes.data(), bytes.size()); }
};

u32 float_bits(f32 f)
{
    u32 u;
    memcpy(&u, &f, 4);
    return u;
}

// { flag = true, name = "box", scale = 2.5, size = 3, list = [1, 2, 3], sub = { name = "box" } }
BlobBuilder settings_blob()
{
    BlobBuilder b;
    u32 root = b.object(6);
    b.set_root(6, root);
    u32 list = b.array(2, 3);
    for (u32 i = 0; i < 3; ++i)
        b.set_element(list, i, i + 1);
    u32 sub = b.object(1);
    u32 box = b.text("box");
    const u32 keys[] = {b.text("flag"), b.text("list"), b.text("name"), b.text("scale"), b.text("size"), b.text("sub")};
    b.set_member(root, 0, keys[0], 1, 1);
    b.set_member(root, 1, keys[1], 5, list);
    b.set_member(root, 2, keys[2], 4, box);
    b.set_member(root, 3, keys[3], 3, float_bits(2.5f));
    b.set_member(root, 4, keys[4], 2, u32(-3));
    b.set_member(root, 5, keys[5], 6, sub);
    b.set_member(sub, 0, keys[2], 4, box); // keys and texts shared
    return b;
}

class ConfigValueTest : public ::testing::Test {
  protected:
    test::StringsTestAllocator alloc;
};

TEST_F(ConfigValueTest, KindChangingAccessors)
{
    ConfigValue *root = create_config_root(alloc);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->kind(), ConfigKind::Nil);

    ConfigValue &list = root->member("list");
    list.element(5).set_integer(7);
    EXPECT_EQ(list.kind(), ConfigKind::Array);
    ASSERT_EQ(list.count(), 6u);
    for (u32 i = 0; i < 5; ++i)
        EXPECT_TRUE(list.items()[i].is_nil());
    EXPECT_EQ(list.items()[5].to_integer(), 7);

    // member on an array empties it into an object; push_back on an object makes an array.
    list.member("k").set_string("v");
    EXPECT_EQ(list.kind(), ConfigKind::Object);
    EXPECT_EQ(list.count(), 1u);
    list.push_back().set_bool(true);
    EXPECT_EQ(list.kind(), ConfigKind::Array);
    ASSERT_EQ(list.count(), 1u);
    EXPECT_TRUE(list.items()[0].to_bool());

    ConfigValue &n = root->member("n");
    n.set_integer(3);
    EXPECT_EQ(n.to_float(), 3.0f);
    n.set_float(0.5f);
    EXPECT_EQ(n.to_float(), 0.5f);

    EXPECT_TRUE(root->has("n"));
    EXPECT_FALSE(root->has("missing"));
    EXPECT_EQ(n.find("x"), nullptr); // find on a non-object changes nothing
    EXPECT_EQ(n.kind(), ConfigKind::Float);
    destroy_config_root(root);
}

TEST_F(ConfigValueTest, MembersKeepByteWiseKeyOrderAndRepeatedKeysReplace)
{
    ConfigValue root(alloc);
    const char *keys[] = {"b", "a", "ab", "", "B", "\xC3\xA9", "a"};
    for (u32 i = 0; i < 7; ++i)
        root.member(keys[i]).set_integer(i32(i));
    std::vector<std::string> order;
    for (const auto &entry : root.members())
        order.push_back(entry.key.c_str());
    EXPECT_EQ(order, (std::vector<std::string>{"", "B", "a", "ab", "b", "\xC3\xA9"}));
    EXPECT_EQ(root.find("a")->to_integer(), 6);
    EXPECT_EQ(root.count(), 6u);

    // Enough members to split the map's nodes many times over.
    for (int i = 0; i < 500; ++i)
        root.member(("key" + std::to_string(i)).c_str()).set_integer(i);
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(root.find(("key" + std::to_string(i)).c_str())->to_integer(), i);
    EXPECT_TRUE(root.members().validate());
}

TEST_F(ConfigValueTest, CopiesAreDeepAndUseTheirOwnAllocator)
{
    test::StringsTestAllocator other_alloc;
    ConfigValue source(alloc);
    source.member("name").set_string("box");
    source.member("list").push_back().member("deep").set_float(1.5f);
    const u8 bytes[] = {1, 2, 3};
    source.member("blob").set_data(bytes, 3);
    {
        ConfigValue copy(source, other_alloc);
        EXPECT_STREQ(copy.find("name")->to_string(), "box");
        EXPECT_EQ(copy.find("list")->items()[0].find("deep")->to_float(), 1.5f);
        EXPECT_EQ(copy.find("blob")->data().size(), 3u);
        EXPECT_EQ(copy.find("name")->text().allocator(), &other_alloc);
        EXPECT_EQ(copy.members().begin()->key.allocator(), &other_alloc);
        source.member("name").set_string("changed");
        EXPECT_STREQ(copy.find("name")->to_string(), "box");
    }
    EXPECT_TRUE(other_alloc.live.empty());

    // Copying or moving a value's own child into it.
    ConfigValue &list = source.member("list");
    list.copy(list.items()[0]);
    EXPECT_EQ(list.kind(), ConfigKind::Object);
    EXPECT_EQ(list.find("deep")->to_float(), 1.5f);
    source = std::move(source.member("list"));
    EXPECT_EQ(source.find("deep")->to_float(), 1.5f);
    EXPECT_EQ(source.count(), 1u);
    source.copy(source);
    EXPECT_EQ(source.count(), 1u);
}

TEST(ConstConfigValue, ReadsAndNilRules)
{
    BlobBuilder b = settings_blob();
    ConstConfigValue root = b.root();
    ASSERT_EQ(root.kind(), ConstConfigKind::Object);
    EXPECT_EQ(root.count(), 6);
    EXPECT_TRUE(root.member("flag").to_bool());
    EXPECT_STREQ(root.member("name").to_string(), "box");
    EXPECT_EQ(root.member("scale").to_float(), 2.5f);
    EXPECT_EQ(root.member("size").to_integer(), -3);
    EXPECT_EQ(root.member("size").to_float(), -3.0f);
    EXPECT_STREQ(root.member("sub").member("name").to_string(), "box");

    ConstConfigValue list = root.member("list");
    EXPECT_EQ(list.count(), 3);
    EXPECT_EQ(list.element(2).to_integer(), 3);
    EXPECT_TRUE(list.element(-1).is_nil());
    EXPECT_TRUE(list.element(3).is_nil());

    const char *key = nullptr;
    EXPECT_TRUE(root.member_at(3, &key).kind() == ConstConfigKind::Float);
    EXPECT_STREQ(key, "scale");
    EXPECT_TRUE(root.member_at(6, &key).is_nil());
    EXPECT_STREQ(key, "");

    // Missing keys, wrong kinds and nil read as nil, 0 and "".
    EXPECT_TRUE(root.member("nope").is_nil());
    EXPECT_TRUE(root.member("nam").is_nil());
    EXPECT_TRUE(list.member("name").is_nil());
    EXPECT_TRUE(root.element(0).is_nil());
    EXPECT_EQ(root.member("nope").to_integer(), 0);
    EXPECT_EQ(root.member("nope").to_float(), 0.0f);
    EXPECT_STREQ(root.member("size").to_string(), "");
    EXPECT_FALSE(root.member("size").to_bool());

    BlobBuilder nil_only;
    EXPECT_EQ(nil_only.bytes.size(), 8u);
    EXPECT_TRUE(nil_only.root().is_nil());
    EXPECT_TRUE(ConstConfigValue::root(nil_only.bytes.data(), 7).is_nil());
    EXPECT_TRUE(ConstConfigValue::root(nullptr, 100).is_nil());
}

TEST(ConstConfigValue, DamagedBlobsNeverReadOutside)
{
    struct Case {
        const char *name;
        void (*damage)(BlobBuilder &);
    };
    const Case cases[] = {
        {"root offset past the end", [](BlobBuilder &b) { b.put(4, 0xFFFFFFF0u); }},
        {"object count too large", [](BlobBuilder &b) { b.put(8, 0x7FFFFFFF); }},
        {"object count negative", [](BlobBuilder &b) { b.put(8, 0x80000000u); }},
        {"key offset past the end", [](BlobBuilder &b) { b.set_member(8, 2, 0xFFFFFFFF, 4, 0); }},
        {"text without terminator", [](BlobBuilder &b) { b.bytes.back() = 'x'; b.bytes[b.bytes.size() - 2] = 'x'; b.bytes[b.bytes.size() - 3] = 'x'; b.bytes[b.bytes.size() - 4] = 'x'; }},
        {"unknown kinds", [](BlobBuilder &b) { b.set_member(8, 0, b.text("flag"), 99, 1); }},
        {"truncated", [](BlobBuilder &b) { b.bytes.resize(30); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        BlobBuilder b = settings_blob();
        c.damage(b);
        // Exact-size heap copy: a read past it shows under the address sanitizer.
        std::vector<u8> exact(b.bytes);
        ConstConfigValue root = ConstConfigValue::root(exact.data(), exact.size());
        for (i32 i = -1; i <= 7; ++i) {
            const char *key;
            ConstConfigValue m = root.member_at(i, &key);
            EXPECT_NE(key, nullptr);
            (void)strlen(m.to_string());
            for (i32 j = -1; j <= 4; ++j)
                (void)strlen(m.element(j).to_string());
        }
        (void)root.member("sub").member("name").to_string();
        test::StringsTestAllocator alloc;
        ConfigValue tree(alloc);
        tree.assign_const(root);
    }
}

TEST(ConstConfigValue, AssignConstCutsOffCyclesAndSharedRecords)
{
    test::StringsTestAllocator alloc;
    // An array whose elements all point back at the array itself.
    BlobBuilder b;
    u32 list = b.array(5, 4);
    for (u32 i = 0; i < 4; ++i)
        b.set_element(list, i, list);
    b.set_root(5, list);
    ConfigValue tree(alloc);
    tree.assign_const(b.root());
    EXPECT_EQ(tree.kind(), ConfigKind::Array);

    // An object that is its own member.
    BlobBuilder o;
    u32 obj = o.object(1);
    o.set_member(obj, 0, o.text("self"), 6, obj);
    o.set_root(6, obj);
    tree.assign_const(o.root());
    EXPECT_EQ(tree.kind(), ConfigKind::Object);
}

TEST_F(ConfigValueTest, AssignAndMergeConst)
{
    BlobBuilder b = settings_blob();
    ConfigValue tree(alloc);
    tree.member("stale").set_integer(1);
    tree.assign_const(b.root());
    EXPECT_EQ(tree.kind(), ConfigKind::Object);
    EXPECT_FALSE(tree.has("stale"));
    EXPECT_EQ(tree.find("flag")->kind(), ConfigKind::Bool);
    EXPECT_TRUE(tree.find("flag")->to_bool());
    EXPECT_STREQ(tree.find("name")->to_string(), "box");
    EXPECT_EQ(tree.find("scale")->to_float(), 2.5f);
    EXPECT_EQ(tree.find("size")->to_integer(), -3);
    ASSERT_EQ(tree.find("list")->kind(), ConfigKind::Array);
    EXPECT_EQ(tree.find("list")->items()[1].to_integer(), 2);
    EXPECT_STREQ(tree.find("sub")->find("name")->to_string(), "box");

    ConfigValue user(alloc);
    user.member("size").set_string("big");
    user.member("own").set_integer(9);
    user.merge_const(b.root());
    EXPECT_EQ(user.find("size")->to_integer(), -3); // replaced
    EXPECT_EQ(user.find("own")->to_integer(), 9);   // kept
    EXPECT_EQ(user.count(), 7u);
}

TEST_F(ConfigValueTest, MatchesComparesEachConditionMember)
{
    ConfigValue settings(alloc);
    settings.member("flag").set_bool(true);
    settings.member("name").set_string("box");
    settings.member("scale").set_integer(2);
    settings.member("size").set_integer(-3);

    struct Case {
        const char *name;
        u32 kind;
        u32 payload_or_text; // text cases use `text`
        const char *key;
        const char *text;
        bool expected;
    };
    const Case cases[] = {
        {"bool equal", 1, 1, "flag", nullptr, true},
        {"bool differs", 1, 0, "flag", nullptr, false},
        {"float against integer setting", 3, float_bits(2.0f), "scale", nullptr, true},
        {"float differs", 3, float_bits(2.5f), "scale", nullptr, false},
        {"string equal", 4, 0, "name", "box", true},
        {"string differs", 4, 0, "name", "boxes", false},
        {"integer equal", 2, u32(-3), "size", nullptr, true},
        {"integer against bool setting", 2, 1, "flag", nullptr, false},
        {"missing setting", 2, 1, "absent", nullptr, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        BlobBuilder b;
        u32 obj = b.object(1);
        u32 payload = c.text ? b.text(c.text) : c.payload_or_text;
        b.set_member(obj, 0, b.text(c.key), c.kind, payload);
        b.set_root(6, obj);
        EXPECT_EQ(ConfigValue::matches(settings, b.root()), c.expected);
    }
    BlobBuilder empty;
    EXPECT_TRUE(ConfigValue::matches(settings, empty.root()));
    u32 none = empty.object(0);
    empty.set_root(6, none);
    EXPECT_TRUE(ConfigValue::matches(settings, empty.root()));
}

} // namespace
} // namespace tallow
