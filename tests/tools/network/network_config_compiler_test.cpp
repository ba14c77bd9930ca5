// The network game config compiler: sources in config text become blocks the reader opens,
// and sources it does not fully understand fail with a message naming the place.
#include "foundation/strings/name_id.h"
#include "network/field_codec.h"
#include "tools/network/network_config_compiler.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tallow {
namespace {

using namespace network;

bool compile(const std::string &text, std::vector<u8> &out, std::string &error)
{
    return compile_network_config_source(text.data(), text.size(), out, error);
}

TEST(NetworkConfigCompiler, CompilesCallsAndTypesWithDefaults)
{
    const std::string source = R"(
        rpcs = {
            chat = [ { type = "string" } ]
            hit = [ { type = "int" bits = 8 min = -10 } { type = "vector3" bits = 16 min = -100 max = 100 } ]
        }
        object_types = {
            ball = [
                { name = "position" type = "vector3" bits = 16 min = -100 max = 100 tolerance = 0.01
                  interpolate = true default = [1 2 3] }
                { name = "held" type = "bool" default = true }
                { name = "unit" type = "id" default = "00000000000000ff" }
                { name = "turn" type = "quaternion" bits = 29 }
            ]
        }
    )";
    std::vector<u8> bytes;
    std::string error;
    ASSERT_TRUE(compile(source, bytes, error)) << error;
    NetworkGameConfig config;
    ASSERT_TRUE(config.open(bytes.data(), u32(bytes.size())));
    const RpcEntry *hit = config.find_rpc(NameId32("hit").value());
    ASSERT_NE(hit, nullptr);
    EXPECT_EQ(hit->argument_count, 2u);
    EXPECT_EQ(hit->arguments[0].minimum_int(), -10);
    const GameObjectType *ball = config.find_object_type(NameId32("ball").value());
    ASSERT_NE(ball, nullptr);
    EXPECT_EQ(ball->state_size, 12u + 1u + 8u + 16u);
    EXPECT_TRUE(ball->fields[0].interpolate);
    const u8 *defaults = config.data_at(*ball);
    f32 position[3];
    memcpy(position, defaults, 12);
    EXPECT_EQ(position[2], 3.0f);
    EXPECT_EQ(defaults[12], 1);
    u64 unit;
    memcpy(&unit, defaults + 13, 8);
    EXPECT_EQ(unit, 0xFFu);
    f32 turn[4];
    memcpy(turn, defaults + 21, 16);
    EXPECT_EQ(turn[3], 1.0f);
}

TEST(NetworkConfigCompiler, RefusesWhatItDoesNotUnderstand)
{
    struct Case {
        const char *name;
        const char *source;
        const char *message; // part of the error
    };
    const Case cases[] = {
        {"unknown top key", "calls = {}", "unknown key 'calls'"},
        {"unknown field key", R"(object_types = { a = [ { name = "x" type = "bool" colour = 1 } ] })", "colour"},
        {"unknown type", R"(object_types = { a = [ { name = "x" type = "matrix" } ] })", "object_types.a[0]"},
        {"field without a name", R"(object_types = { a = [ { type = "bool" } ] })", "needs a name"},
        {"string field", R"(object_types = { a = [ { name = "s" type = "string" } ] })", "only call arguments"},
        {"float without a range", R"(rpcs = { a = [ { type = "float" bits = 8 } ] })", "maximum above minimum"},
        {"int of 40 bits", R"(rpcs = { a = [ { type = "int" bits = 40 } ] })", "1 to 32"},
        {"seven arguments",
         R"(rpcs = { a = [ {type="bool"} {type="bool"} {type="bool"} {type="bool"} {type="bool"} {type="bool"} {type="bool"} ] })",
         "at most 6"},
        {"default of the wrong kind", R"(object_types = { a = [ { name = "v" type = "vector3" bits = 8 min = 0 max = 1 default = 3 } ] })",
         "'default'"},
        {"long call name", R"(rpcs = { a_name_that_is_longer_than_thirty_one = [] })", "31 bytes"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<u8> bytes;
        std::string error;
        EXPECT_FALSE(compile(c.source, bytes, error));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        EXPECT_TRUE(bytes.empty());
    }
}

} // namespace
} // namespace tallow
