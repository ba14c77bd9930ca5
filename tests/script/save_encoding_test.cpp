#include "script_fixture.h"

#include "foundation/io/memory_buffer.h"
#include "foundation/io/output_archive.h"
#include "script/runtime/save_encoding.h"

#include <random>

namespace tallow::test {
namespace {

class SaveEncodingTest : public ScriptTest {
  protected:
    SaveEncodingTest()
    {
        EXPECT_EQ(run(R"(
            function deep_equal(a, b)
                if type(a) ~= type(b) then return false end
                if type(a) ~= "table" then return a == b end
                for k, v in pairs(a) do if not deep_equal(v, b[k]) then return false end end
                for k in pairs(b) do if a[k] == nil then return false end end
                return true
            end)"),
                  "");
    }

    // Evaluates `expression` and encodes it; false when the writer refused it. The archive
    // starts at `offset` bytes into its stream, to show alignment is relative to its start.
    bool encode(const std::string &expression, std::string &out, u32 offset = 0)
    {
        lua_State *L = env.state();
        int top = lua_gettop(L);
        EXPECT_EQ(luaL_loadstring(L, ("return " + expression).c_str()), 0);
        EXPECT_EQ(lua_pcall(L, 0, 1, 0), 0) << lua_tostring(L, -1);
        auto memory = make_shared_reference<MemoryOutputBuffer>(default_allocator(), default_allocator());
        bool ok;
        {
            OutputArchive archive(memory);
            for (u32 i = 0; i < offset; ++i)
                archive.write(u8(0xEE));
            ok = write_script_value(L, archive);
            EXPECT_EQ(lua_gettop(L), top + 1) << "the writer leaves the stack as it was";
            EXPECT_TRUE(archive.flush());
        }
        lua_settop(L, top);
        std::string bytes(memory->total_size(), '\0');
        memory->copy_to(bytes.data());
        out = bytes.substr(offset);
        return ok;
    }

    // Decodes `bytes` into the global `decoded`; false when the reader refused them.
    bool decode(const std::string &bytes)
    {
        lua_State *L = env.state();
        int top = lua_gettop(L);
        // A copy in its own block, so a read past the end is seen by the sanitizer.
        std::vector<u8> block(bytes.begin(), bytes.end());
        bool ok = read_script_value(block.data(), block.size(), L);
        EXPECT_EQ(lua_gettop(L), top + (ok ? 1 : 0));
        if (ok)
            lua_setglobal(L, "decoded");
        lua_settop(L, top);
        return ok;
    }

    static std::string hex(const std::string &bytes)
    {
        static const char digits[] = "0123456789ABCDEF";
        std::string out;
        for (unsigned char c : bytes) {
            out += digits[c >> 4];
            out += digits[c & 15];
        }
        return out;
    }
};

TEST_F(SaveEncodingTest, GoldenBytes)
{
    struct Case {
        const char *value;
        const char *hex;
    };
    const Case cases[] = {
        {"{}", "0000000001000000"},
        {"true", "0400000001000000"},
        {"false", "0400000000000000"},
        {"1.5", "020000000000C03F"},
        {"'abc'", "0300000003000000616263"},
        // value "a", one byte of padding, the key 1 as a number, then the end code.
        {"{'a'}", "00000000" "030000000100000061" "000000" "020000000000803F" "01000000"},
        {"{abc = true}", "00000000" "0400000001000000" "0300000003000000616263" "01000000"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        std::string bytes;
        ASSERT_TRUE(encode(c.value, bytes));
        EXPECT_EQ(hex(bytes), c.hex);
        ASSERT_TRUE(decode(bytes));
        lua_State *L = env.state();
        ASSERT_EQ(luaL_loadstring(L, (std::string("return deep_equal(decoded, ") + c.value + ")").c_str()), 0);
        ASSERT_EQ(lua_pcall(L, 0, 1, 0), 0);
        EXPECT_TRUE(lua_toboolean(L, -1));
        lua_pop(L, 1);
    }
}

TEST_F(SaveEncodingTest, AlignmentIsRelativeToTheArchiveStart)
{
    std::string at_zero, at_three;
    ASSERT_TRUE(encode("{'a', 'bc', x = 'def'}", at_zero));
    ASSERT_TRUE(encode("{'a', 'bc', x = 'def'}", at_three, 3));
    // From position 3 the first tag needs one byte of padding; after it the layout is the
    // one written from position 0.
    ASSERT_EQ(at_three.size(), at_zero.size() + 1);
    EXPECT_EQ(at_three.substr(1), at_zero);
    EXPECT_EQ(at_three[0], '\0');
}

TEST_F(SaveEncodingTest, NumbersComeBackInSinglePrecision)
{
    std::string bytes;
    ASSERT_TRUE(encode("0.1", bytes));
    ASSERT_TRUE(decode(bytes));
    EXPECT_DOUBLE_EQ(number("decoded"), double(0.1f));
    EXPECT_NE(number("decoded"), 0.1);
}

TEST_F(SaveEncodingTest, Vector3InsideATableComesBackAsATemporary)
{
    lua_State *L = env.state();
    lua_pushlightuserdata(L, env.make_vector3(1.5f, -2.0f, 8.0f));
    lua_setglobal(L, "v");
    std::string bytes;
    ASSERT_TRUE(encode("v", bytes));
    EXPECT_EQ(hex(bytes), "05000000" "0000C03F" "000000C0" "00000041");
    ASSERT_TRUE(encode("{pos = v, n = 3}", bytes));
    ASSERT_TRUE(decode(bytes));
    lua_getglobal(L, "decoded");
    lua_getfield(L, -1, "pos");
    auto *p = static_cast<const Vector3Temp *>(lua_touserdata(L, -1));
    ASSERT_TRUE(p && env.vector3_temps().is_live(p));
    EXPECT_EQ(p->v[0], 1.5f);
    EXPECT_EQ(p->v[1], -2.0f);
    EXPECT_EQ(p->v[2], 8.0f);
    lua_pop(L, 2);
}

TEST_F(SaveEncodingTest, ValuesWithoutAnEncodingRefuseTheWholeSave)
{
    lua_State *L = env.state();
    lua_pushlightuserdata(L, env.make_quaternion(0, 0, 0, 1));
    lua_setglobal(L, "q");
    lua_pushlightuserdata(L, reinterpret_cast<void *>(uintptr_t(unit_reference_value(0x00010002))));
    lua_setglobal(L, "unit");
    ASSERT_EQ(run("cyclic = {a = 1}; cyclic.self = cyclic; nested = {{{}}}"), "");
    const char *refused[] = {
        "nil",
        "print",
        "{1, 2, print}",
        "{[true] = 1}",
        "{[{}] = 1}",
        "{x = q}",
        "{owner = unit}",
        "cyclic",
        "{inner = cyclic}",
        "coroutine.create(print)",
    };
    for (const char *value : refused) {
        SCOPED_TRACE(value);
        std::string bytes;
        EXPECT_FALSE(encode(value, bytes));
    }
    // A table shared by two keys is not a cycle: it is written twice.
    ASSERT_EQ(run("shared = {1}; twice = {a = shared, b = shared}"), "");
    std::string bytes;
    ASSERT_TRUE(encode("twice", bytes));
    ASSERT_TRUE(decode(bytes));
    ASSERT_EQ(run("assert(decoded.a[1] == 1 and decoded.b[1] == 1)"), "");
}

TEST_F(SaveEncodingTest, NestingIsCappedBothWays)
{
    ASSERT_EQ(run("deep = {} local t = deep for i = 1, 150 do t.x = {} t = t.x end"), "");
    std::string bytes;
    EXPECT_FALSE(encode("deep", bytes));

    // A hand-made encoding of tables nested deeper than the cap.
    std::string nested;
    for (u32 i = 0; i < max_script_value_depth + 5; ++i)
        nested += std::string("\0\0\0\0", 4);
    EXPECT_FALSE(decode(nested));
}

// Random nested values survive a round trip (compared as values: traversal order is free).
TEST_F(SaveEncodingTest, RandomValuesRoundTrip)
{
    ASSERT_EQ(run(R"(
        function random_value(depth)
            local kind = math.random(depth > 3 and 3 or 4)
            if kind == 1 then return math.random(-1000, 1000) / 4 end
            if kind == 2 then return string.rep(string.char(math.random(0, 255)), math.random(0, 9)) end
            if kind == 3 then return math.random(2) == 1 end
            local t = {}
            for i = 1, math.random(0, 6) do t[i] = random_value(depth + 1) end
            for i = 1, math.random(0, 4) do t["k" .. math.random(100)] = random_value(depth + 1) end
            return t
        end)"),
              "");
    for (int seed = 1; seed <= 200; ++seed) {
        SCOPED_TRACE(seed);
        ASSERT_EQ(run("math.randomseed(" + std::to_string(seed) + ") original = random_value(0)"), "");
        std::string bytes;
        ASSERT_TRUE(encode("original", bytes));
        ASSERT_TRUE(decode(bytes));
        ASSERT_EQ(run("assert(deep_equal(original, decoded))"), "");
    }
}

// Every proper prefix of a valid encoding, flipped tags and random bytes decode to a
// clean failure or a value, never a read outside the block (checked under AddressSanitizer).
TEST_F(SaveEncodingTest, TruncatedAndRandomBytesFailCleanly)
{
    ASSERT_EQ(run("sample = {1, 'two', {three = true, [4] = {}}, name = 'abcdefg', list = {0.5, 0.25}}"), "");
    std::string bytes;
    ASSERT_TRUE(encode("sample", bytes));
    for (size_t n = 0; n < bytes.size(); ++n) {
        SCOPED_TRACE(n);
        EXPECT_FALSE(decode(bytes.substr(0, n)));
    }
    std::string unknown = bytes;
    unknown[0] = 9;
    EXPECT_FALSE(decode(unknown));

    std::mt19937 rng(7);
    for (int round = 0; round < 3000; ++round) {
        std::string noise(rng() % 64, '\0');
        for (char &c : noise)
            c = char(rng() % 7 == 0 ? rng() : rng() % 6);
        (void)decode(noise);
        std::string mutated = bytes;
        mutated[rng() % mutated.size()] = char(rng());
        (void)decode(mutated);
    }
    EXPECT_EQ(lua_gettop(env.state()), 0);
}

} // namespace
} // namespace tallow::test
