#include "foundation/config/config_blob.h"
#include "foundation/config/config_blob_internal.h"
#include "foundation/config/config_text_parser.h"
#include "foundation/config/config_text_writer.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/io/render_settings_store.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace tallow {
namespace {

std::string write_text(const ConfigValue &root, bool arrays_on_lines = true)
{
    StringStream stream(default_allocator());
    write_config_text(root, stream, arrays_on_lines);
    return std::string(stream.bytes().data(), stream.bytes().size());
}

struct Tree {
    ConfigValue *root = create_config_root(default_allocator());
    explicit Tree(const std::string &text = "") { parse_config_text(text.data(), text.data() + text.size(), *root); }
    ~Tree() { destroy_config_root(root); }
    ConfigValue &operator*() { return *root; }
    ConfigValue *operator->() { return root; }
};

// Compares two trees by kind and content. A float with an integral value equals that
// integer: written text gives it back as one.
bool same_tree(const ConfigValue &a, const ConfigValue &b)
{
    auto number = [](const ConfigValue &v) { return v.kind() == ConfigKind::Integer || v.kind() == ConfigKind::Float; };
    if (number(a) && number(b))
        return a.to_float() == b.to_float();
    if (a.kind() != b.kind())
        return false;
    switch (a.kind()) {
    case ConfigKind::Nil: return true;
    case ConfigKind::Bool: return a.to_bool() == b.to_bool();
    case ConfigKind::Integer: return a.to_integer() == b.to_integer();
    case ConfigKind::Float: return a.to_float() == b.to_float();
    case ConfigKind::String: return a.text() == b.text();
    case ConfigKind::Data: return a.data().size() == b.data().size() && memcmp(a.data().data(), b.data().data(), a.data().size()) == 0;
    case ConfigKind::Array:
        if (a.items().size() != b.items().size())
            return false;
        for (u32 i = 0; i < a.items().size(); ++i)
            if (!same_tree(a.items()[i], b.items()[i]))
                return false;
        return true;
    case ConfigKind::Object:
        if (a.count() != b.count())
            return false;
        for (const auto &entry : a.members()) {
            const ConfigValue *other = b.find(entry.key.c_str());
            if (!other || !same_tree(entry.value, *other))
                return false;
        }
        return true;
    }
    return false;
}

TEST(ConfigTextParser, LenientRulesAsWritten)
{
    struct Case {
        const char *name;
        const char *text;
        const char *key;
        ConfigKind kind;
        const char *expect; // integer, float or bool as text; string value; "" for nil
    };
    const Case cases[] = {
        {"trailing comma", "a = 1, b = 2,", "b", ConfigKind::Integer, "2"},
        {"commas anywhere", ",,a =,5,", "a", ConfigKind::Integer, "5"},
        {"tru is true", "v = tru\nw = 1", "v", ConfigKind::Bool, "true"},
        {"fixed byte counts", "v = tr w = 1", "", ConfigKind::Integer, "1"},
        {"nul is nil", "v = nul", "v", ConfigKind::Nil, ""},
        {"false", "v = false", "v", ConfigKind::Bool, "false"},
        {"negative fraction", "v = -0.5", "v", ConfigKind::Float, "-0.5"},
        {"exponent", "v = 1e2", "v", ConfigKind::Float, "100"},
        {"negative exponent", "v = 25E-1", "v", ConfigKind::Float, "2.5"},
        {"integral float is an integer", "v = 2.000", "v", ConfigKind::Integer, "2"},
        {"negative integer", "v = -42", "v", ConfigKind::Integer, "-42"},
        {"leading zero ends the number", "v = 007", "v", ConfigKind::Integer, "0"},
        {"the rest is the next key", "v = 007", "07", ConfigKind::Nil, ""},
        {"bare key with dots", "a.b-c = 3", "a.b-c", ConfigKind::Integer, "3"},
        {"quoted key", "\"a key\" = 3", "a key", ConfigKind::Integer, "3"},
        {"escapes", "s = \"q\\\"b\\\\s\\/t\\tn\\n\"", "s", ConfigKind::String, "q\"b\\s/t\tn\n"},
        {"unknown escape vanishes", "s = \"a\\qb\"", "s", ConfigKind::String, "ab"},
        {"unicode escape", "s = \"\\u00e9\\u20AC\"", "s", ConfigKind::String, "\xC3\xA9\xE2\x82\xAC"},
        {"unicode zero adds nothing", "s = \"a\\u0000b\"", "s", ConfigKind::String, "ab"},
        {"long string", "s = \"\"\"a\\n\"b\nc\"\"\"", "s", ConfigKind::String, "a\\n\"b\nc"},
        {"line comment", "// x = 1\ny = 2", "y", ConfigKind::Integer, "2"},
        {"block comment", "/* x = 1 */ y = /* 7 */ 3", "y", ConfigKind::Integer, "3"},
        {"repeated key replaces", "k = 1 k = \"two\"", "k", ConfigKind::String, "two"},
        {"repeated key with unknown value", "k = 1 k = @", "k", ConfigKind::Nil, ""},
        {"lone slash is a key byte", "/k = 1", "/k", ConfigKind::Integer, "1"},
        {"open string ends at the end", "s = \"abc", "s", ConfigKind::String, "abc"},
        {"open long string ends at the end", "s = \"\"\"abc\"\"", "s", ConfigKind::String, "abc\"\""},
        {"open comment ends at the end", "k = 1 /* x = 2", "k", ConfigKind::Integer, "1"},
        {"bare key at the end", "k = 1 last", "last", ConfigKind::Nil, ""},
        {"ten fraction digits", "v = 0.1234567891", "v", ConfigKind::Float, "0.123457"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Tree tree(c.text);
        const ConfigValue *value = tree->find(c.key);
        ASSERT_NE(value, nullptr);
        ASSERT_EQ(value->kind(), c.kind);
        switch (c.kind) {
        case ConfigKind::Integer: EXPECT_EQ(std::to_string(value->to_integer()), c.expect); break;
        case ConfigKind::Float: {
            char text[32];
            snprintf(text, sizeof text, "%g", value->to_float());
            EXPECT_STREQ(text, c.expect);
            break;
        }
        case ConfigKind::Bool: EXPECT_STREQ(value->to_bool() ? "true" : "false", c.expect); break;
        case ConfigKind::String: EXPECT_STREQ(value->to_string(), c.expect); break;
        default: break;
        }
    }
}

TEST(ConfigTextParser, NestedValuesAndUnknownBytes)
{
    Tree tree("win32 = { renderer = { vsync = true, size = [1280 720] } }\n"
              "list = [ x 1 ]\n"
              "empty = {} none = []");
    const ConfigValue *renderer = tree->find("win32")->find("renderer");
    ASSERT_NE(renderer, nullptr);
    EXPECT_TRUE(renderer->find("vsync")->to_bool());
    ASSERT_EQ(renderer->find("size")->count(), 2u);
    EXPECT_EQ(renderer->find("size")->items()[1].to_integer(), 720);
    // An unknown byte gives a nil item and is skipped: no endless loop.
    const ConfigValue *list = tree->find("list");
    ASSERT_EQ(list->count(), 2u);
    EXPECT_TRUE(list->items()[0].is_nil());
    EXPECT_EQ(list->items()[1].to_integer(), 1);
    EXPECT_EQ(tree->find("empty")->kind(), ConfigKind::Object);
    EXPECT_EQ(tree->find("none")->kind(), ConfigKind::Array);
}

TEST(ConfigTextParser, DeepNestingIsCutOff)
{
    std::string text = "a = " + std::string(100000, '[') + "1";
    Tree tree(text);
    const ConfigValue *value = tree->find("a");
    u32 depth = 0;
    while (value && value->kind() == ConfigKind::Array && value->count() > 0) {
        value = &value->items()[0];
        ++depth;
    }
    EXPECT_LE(depth, 201u);

    // The value past the cap is dropped whole: nothing of it lands in its parent as stray
    // items or members, and the text after it parses as usual.
    struct Case {
        const char *name;
        std::string open, inner, close;
    };
    const Case cases[] = {
        {"arrays", "[", "1 2 \"]]]\" [3]", "]"},
        {"objects", "{ x = ", "y = 1 z = { w = \"}\" } // }}}\n", "}"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string nested;
        for (int i = 0; i < 205; ++i)
            nested += c.open;
        nested += c.inner;
        for (int i = 0; i < 205; ++i)
            nested += c.close;
        Tree cut("a = " + nested + "\nafter = 5");
        EXPECT_EQ(cut->find("after") ? cut->find("after")->to_integer() : -1, 5);
        EXPECT_EQ(cut->count(), 2u);
        // Walk down the single path: every level holds exactly one value, the last a nil.
        const ConfigValue *level = cut->find("a");
        u32 levels = 0;
        while (level && level->kind() != ConfigKind::Nil) {
            ASSERT_EQ(level->count(), 1u) << "stray contents at level " << levels;
            level = level->kind() == ConfigKind::Array ? &level->items()[0] : level->find("x");
            ++levels;
        }
        EXPECT_NE(level, nullptr);
        EXPECT_EQ(levels, 200u);
    }
}

TEST(ConfigTextWriter, ExactOutput)
{
    struct Case {
        const char *name;
        const char *text;
        bool arrays_on_lines;
        const char *expect;
    };
    const Case cases[] = {
        {"empty root", "", true, "\n"},
        {"empty object", "a = {}", true, "\na = {\n}\n"},
        {"empty array on lines", "a = []", true, "\na = [\n]\n"},
        {"members in key order", "b = 1 a = true c = null", true, "\na = true\nb = 1\nc = null\n"},
        {"nested with tabs", "o = { k = [1 2] }", true, "\no = {\n\tk = [\n\t\t1\n\t\t2\n\t]\n}\n"},
        {"arrays on one line", "o = { k = [1 2] }", false, "\no = {\n\tk = [ 1 2 ]\n}\n"},
        {"quoted keys", "\"a b\" = 1 \"a.b\" = 2 _x9 = 3 \"\" = 4", true,
         "\n = 4\n_x9 = 3\n\"a b\" = 1\n\"a.b\" = 2\n"},
        {"string escaping", "s = \"q\\\"\\\\\\n\"", true, "\ns = \"q\\\"\\\\\n\"\n"},
        {"floats to six digits", "f = 3.14159265 g = 0.5 h = 1e-7 i = 2.5e10", true,
         "\nf = 3.14159\ng = 0.5\nh = 1e-07\ni = 2.5e+10\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Tree tree(c.text);
        EXPECT_EQ(write_text(*tree, c.arrays_on_lines), c.expect);
    }
    Tree data;
    const u8 bytes[] = {'a', '"', 0, 'b'};
    data->member("d").set_data(bytes, 4);
    EXPECT_EQ(write_text(*data), std::string("\nd = \"a\\\"\0b\"\n", 13));
}

const char settings_text[] = R"(
// Settings of a game, as a settings file holds them.
boot_package = "resource_packages/boot"
boot_script = "lua/boot"
win32 = {
	renderer = { adapter_index = 0, vsync = true, d3d_debug = false }
	save_dir = "saves"
	input = { mouse_sensitivity = 0.75, keys = [ "w" "a" "s" "d" ] }
}
sound = { disabled = false, volume = -3.5e0 }
render_settings = { shadow_map_size = [ 2048, 2048 ], gamma = 2.2, lod_scales = [ 1, 0.5, 0.25 ] }
"user name" = "Ann \"the\" Tester \u00e9"
shader = """float4 main() { return 1; } // \n kept"""
flags = [ true, false ]
nested = [ [ 1, 2 ], [ ], { a = 1 } ]
nothing = null
)";

// The settings path end to end: text -> tree -> blob -> reads -> tree -> text -> tree.
TEST(ConfigRoundTrip, ParseFlattenReadWriteParse)
{
    Allocator &a = default_allocator();
    Tree parsed(settings_text);
    u32 size = 0;
    void *blob = flatten_config(*parsed, a, &size);
    ASSERT_NE(blob, nullptr);
    ASSERT_TRUE(validate_const_config(blob, size));
    ConstConfigValue root = ConstConfigValue::root(blob, size);
    EXPECT_STREQ(root.member("boot_package").to_string(), "resource_packages/boot");
    ConstConfigValue win32 = root.member("win32");
    EXPECT_TRUE(win32.member("renderer").member("vsync").to_bool());
    EXPECT_EQ(win32.member("renderer").member("adapter_index").to_integer(), 0);
    EXPECT_FLOAT_EQ(win32.member("input").member("mouse_sensitivity").to_float(), 0.75f);
    EXPECT_STREQ(win32.member("input").member("keys").element(3).to_string(), "d");
    EXPECT_TRUE(win32.member("input").member("keys").element(4).is_nil());
    EXPECT_FLOAT_EQ(root.member("sound").member("volume").to_float(), -3.5f);
    EXPECT_STREQ(root.member("user name").to_string(), "Ann \"the\" Tester \xC3\xA9");
    // [1, 0.5, 0.25] starts with an integer: stored as floats, none read as bit garbage.
    ConstConfigValue lods = root.member("render_settings").member("lod_scales");
    EXPECT_EQ(lods.element(0).kind(), ConstConfigKind::Float);
    EXPECT_FLOAT_EQ(lods.element(0).to_float(), 1.0f);
    EXPECT_FLOAT_EQ(lods.element(2).to_float(), 0.25f);
    // Nested arrays of arrays and a stray object: the object is stored as an empty array.
    ConstConfigValue nested = root.member("nested");
    EXPECT_EQ(nested.element(0).element(1).to_integer(), 2);
    EXPECT_EQ(nested.element(2).kind(), ConstConfigKind::Array);
    EXPECT_EQ(nested.element(2).count(), 0);

    Tree restored;
    restored->assign_const(root);
    std::string written = write_text(*restored);
    Tree reparsed(written);
    EXPECT_TRUE(same_tree(*restored, *reparsed)) << written;
    EXPECT_EQ(write_text(*reparsed), written);
    // Text written from the parsed tree reads back as the same tree.
    Tree direct(write_text(*parsed));
    EXPECT_TRUE(same_tree(*parsed, *direct));
    a.deallocate(blob);
}

TEST(ConfigTextParser, EveryPrefixParsesWithinTheRange)
{
    std::string text = settings_text;
    for (size_t n = 0; n <= text.size(); ++n) {
        // A copy of exactly n bytes: AddressSanitizer catches any read past the range.
        std::vector<char> prefix(text.begin(), text.begin() + n);
        Tree tree;
        parse_config_text(prefix.data(), prefix.data() + n, *tree);
        ASSERT_EQ(tree->kind(), ConfigKind::Object);
    }
}

TEST(ConfigBlob, LayoutRules)
{
    Allocator &a = default_allocator();
    u32 size = 0;
    {
        Tree nil;
        nil->set_nil();
        void *blob = flatten_config(*nil, a, &size);
        EXPECT_EQ(size, 8u) << "a nil root is its 8-byte root record";
        a.deallocate(blob);
    }
    Tree shared("a = \"same text\" b = \"same text\" c = \"other\"");
    void *blob = flatten_config(*shared, a, &size);
    ConstConfigValue root = ConstConfigValue::root(blob, size);
    EXPECT_EQ(root.member("a").payload(), root.member("b").payload()) << "equal texts stored once";
    EXPECT_NE(root.member("a").payload(), root.member("c").payload());
    a.deallocate(blob);

    Tree data;
    const u8 bytes[] = {1, 2};
    data->member("d").set_data(bytes, 2);
    blob = flatten_config(*data, a, &size);
    EXPECT_EQ(ConstConfigValue::root(blob, size).member("d").kind(), ConstConfigKind::Nil) << "byte data drops";
    a.deallocate(blob);

    // Mixed kinds: the first item's kind wins; others become that kind's empty value.
    Tree mixed("m = [ \"text\" 5 { x = 1 } ]");
    blob = flatten_config(*mixed, a, &size);
    ASSERT_TRUE(validate_const_config(blob, size));
    ConstConfigValue m = ConstConfigValue::root(blob, size).member("m");
    EXPECT_STREQ(m.element(0).to_string(), "text");
    EXPECT_STREQ(m.element(1).to_string(), "");
    EXPECT_STREQ(m.element(2).to_string(), "");
    a.deallocate(blob);
}

// Scratch memory that runs out once the blob's block has been allocated, i.e. between
// the measuring and the writing pass, and an output allocator that arms it.
class ScratchThatRunsOut final : public Allocator {
  public:
    void *allocate(u64 size, u32 align) override { return out_of_memory ? nullptr : default_allocator().allocate(size, align); }
    void deallocate(void *p) override { default_allocator().deallocate(p); }
    bool out_of_memory = false;
};

class BlobMemory final : public Allocator {
  public:
    explicit BlobMemory(ScratchThatRunsOut &scratch) : _scratch(scratch) {}
    void *allocate(u64 size, u32 align) override
    {
        _scratch.out_of_memory = true;
        block_size = size;
        return default_allocator().allocate(size, align);
    }
    void deallocate(void *p) override { default_allocator().deallocate(p); }
    u64 block_size = 0;

  private:
    ScratchThatRunsOut &_scratch;
};

TEST(ConfigBlob, WritePassStaysInsideTheMeasuredBlock)
{
    // Texts shared while measuring but not while writing (no memory left for the table)
    // make the write pass longer than the block: it must stop at the block's end.
    std::string text;
    for (int i = 0; i < 40; ++i)
        text += "k" + std::to_string(i) + " = \"the same fairly long text value\"\n";
    Tree tree(text);
    ScratchThatRunsOut scratch;
    BlobMemory memory(scratch);
    u32 size = 123;
    void *blob = flatten_config(*tree, memory, scratch, &size);
    EXPECT_EQ(blob, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_GT(memory.block_size, 0u) << "the measuring pass ran and sized a block";
    if (blob)
        memory.deallocate(blob);
}

TEST(ConfigBlob, CorruptBlobsAreRejected)
{
    Allocator &a = default_allocator();
    Tree parsed(settings_text);
    u32 size = 0;
    u8 *blob = static_cast<u8 *>(flatten_config(*parsed, a, &size));
    std::vector<u8> good(blob, blob + size);
    a.deallocate(blob);

    for (u32 n = 0; n < good.size(); ++n) {
        std::vector<u8> prefix(good.begin(), good.begin() + n);
        ASSERT_FALSE(validate_const_config(prefix.data(), n)) << n;
        // Reading a damaged blob stays inside it: every read is nil or in bounds.
        ConstConfigValue root = ConstConfigValue::root(prefix.data(), n);
        (void)root.member("win32").member("input").member("keys").element(0).to_string();
    }

    auto put = [](std::vector<u8> &b, u32 at, u32 v) { memcpy(b.data() + at, &v, 4); };
    struct Case {
        const char *name;
        std::vector<u8> bytes;
    };
    std::vector<u8> string_root = {4, 0, 0, 0, 8, 0, 0, 0, 'a', 'b', 'c', 'd'};
    std::vector<u8> cycle(20, 0);
    put(cycle, 0, 5);  // root: array at 8
    put(cycle, 4, 8);
    put(cycle, 8, 5);  // array of arrays
    put(cycle, 12, 1); // one element
    put(cycle, 16, 8); // ... itself
    std::vector<u8> big_count = {6, 0, 0, 0, 8, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x0F};
    std::vector<u8> bad_kind = {9, 0, 0, 0, 0, 0, 0, 0};
    std::vector<u8> unaligned = {5, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<u8> far = {4, 0, 0, 0, 0xF0, 0xFF, 0xFF, 0xFF};
    const Case cases[] = {
        {"text without terminator", string_root}, {"array containing itself", cycle},
        {"count past the end", big_count},         {"unknown kind", bad_kind},
        {"unaligned record", unaligned},           {"offset past the end", far},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(validate_const_config(c.bytes.data(), c.bytes.size()));
    }
}

TEST(RenderSettingsStore, HoldsTheRenderSectionsAsTrees)
{
    Allocator &a = default_allocator();
    ASSERT_TRUE(create_config_globals(a));
    EXPECT_EQ(render_config_bytes().size(), 0u);
    EXPECT_EQ(render_config_flags()[0] + render_config_flags()[1], 0);
    EXPECT_TRUE(render_settings().is_nil());
    Tree config("render_settings = { gamma = 2.2 } win_caps = { feature_level = 10 }");
    u32 size = 0;
    void *blob = flatten_config(*config, a, &size);
    ConstConfigValue root = ConstConfigValue::root(blob, size);
    set_render_settings_value(root.member("render_settings"));
    set_render_caps_value(root.member("win_caps"));
    a.deallocate(blob); // the trees keep their own copies
    EXPECT_FLOAT_EQ(render_settings().find("gamma")->to_float(), 2.2f);
    EXPECT_EQ(render_caps().find("feature_level")->to_integer(), 10);
    destroy_config_globals();
    destroy_config_globals(); // twice is harmless
}

} // namespace
} // namespace tallow
