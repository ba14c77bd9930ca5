// The network_game_config reader: lookups, field layout, and the validation that refuses
// blocks whose tables, descriptors or defaults cannot be used safely.
#include "foundation/strings/name_id.h"
#include "network/network_game_config.h"
#include "tests/support/log_capture.h"
#include "tests/support/writers/network_config_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace tallow::test {
namespace {

using namespace network;

NetworkConfigSpec sample_spec()
{
    NetworkConfigSpec spec;
    spec.rpcs.push_back({"chat", {string_argument()}});
    spec.rpcs.push_back({"hit", {int_field("damage", 8, -10), vector3_field("at", 16, -100, 100)}});
    spec.rpcs.push_back({"ping", {}});
    spec.types.push_back({"mixed", {bool_field("on"), vector3_field("where", 16, -100, 100), id_field("unit")}});
    spec.types.push_back({"ball", {float_field("height", 8, 0, 10)}});
    return spec;
}

TEST(NetworkGameConfig, LooksUpCallsAndTypesByNameId)
{
    const std::vector<u8> bytes = write_network_config(sample_spec());
    NetworkGameConfig config;
    ASSERT_TRUE(config.open(bytes.data(), u32(bytes.size())));
    EXPECT_EQ(config.rpc_count(), 3u);
    EXPECT_EQ(config.object_type_count(), 2u);
    for (const char *name : {"chat", "hit", "ping"}) {
        const RpcEntry *entry = config.find_rpc(NameId32(name).value());
        ASSERT_NE(entry, nullptr) << name;
        EXPECT_STREQ(entry->name, name);
        EXPECT_EQ(config.rpc(config.rpc_index(*entry)), entry);
    }
    // Ids around every entry's: smaller than all, larger than all, and between.
    u32 smallest = 0xFFFFFFFFu, largest = 0;
    for (u32 i = 0; i < config.rpc_count(); ++i) {
        smallest = std::min(smallest, config.rpc(i)->name_id);
        largest = std::max(largest, config.rpc(i)->name_id);
    }
    EXPECT_EQ(config.find_rpc(smallest - 1), nullptr);
    EXPECT_EQ(config.find_rpc(largest + 1), nullptr);
    EXPECT_EQ(config.find_rpc(NameId32("missing").value()), nullptr);
    EXPECT_EQ(config.find_object_type(NameId32("chat").value()), nullptr);

    NetworkGameConfig empty;
    const std::vector<u8> none = write_network_config({});
    ASSERT_TRUE(empty.open(none.data(), u32(none.size())));
    EXPECT_EQ(empty.find_rpc(smallest), nullptr);
    EXPECT_EQ(empty.find_object_type(0), nullptr);
}

TEST(NetworkGameConfig, FullTablesOf255AreSearchedWithinTheirCount)
{
    NetworkConfigSpec spec;
    for (u32 i = 0; i < 255; ++i)
        spec.types.push_back({"type" + std::to_string(i), {bool_field("b")}});
    const std::vector<u8> bytes = write_network_config(spec);
    NetworkGameConfig config;
    ASSERT_TRUE(config.open(bytes.data(), u32(bytes.size())));
    for (u32 i = 0; i < 255; i += 17) {
        const std::string name = "type" + std::to_string(i);
        const GameObjectType *type = config.find_object_type(NameId32(name.c_str()).value());
        ASSERT_NE(type, nullptr) << name;
        EXPECT_EQ(config.data_at(*type)[0], 0);
    }
}

TEST(NetworkGameConfig, StatePacksFieldsUnaligned)
{
    const std::vector<u8> bytes = write_network_config(sample_spec());
    NetworkGameConfig config;
    ASSERT_TRUE(config.open(bytes.data(), u32(bytes.size())));
    const GameObjectType *mixed = config.find_object_type(NameId32("mixed").value());
    ASSERT_NE(mixed, nullptr);
    EXPECT_EQ(mixed->state_size, 21u);
    EXPECT_EQ(mixed->field_offset(1), 1u);
    EXPECT_EQ(mixed->field_offset(2), 13u);
    EXPECT_EQ(mixed->find_field(NameId32("unit").value()), 2u);
    EXPECT_EQ(mixed->find_field(NameId32("nothing").value()), 0xFFFFFFFFu);
}

TEST(NetworkGameConfig, RefusesBlocksThatCannotBeUsedSafely)
{
    struct Case {
        const char *name;
        std::function<void(std::vector<u8> &)> damage;
    };
    auto type_at = [](std::vector<u8> &b, u32 i) {
        return reinterpret_cast<GameObjectType *>(b.data() + config_type_table_offset + i * sizeof(GameObjectType));
    };
    auto rpc_at = [](std::vector<u8> &b, u32 i) {
        return reinterpret_cast<RpcEntry *>(b.data() + config_rpc_table_offset + i * sizeof(RpcEntry));
    };
    const Case cases[] = {
        {"shorter than the tables", [](std::vector<u8> &b) { b.resize(config_data_offset - 1); }},
        {"call count over 255", [](std::vector<u8> &b) { u32 n = 256; memcpy(b.data(), &n, 4); }},
        {"type count over 255",
         [](std::vector<u8> &b) { u32 n = 1000; memcpy(b.data() + config_type_count_offset, &n, 4); }},
        {"seven arguments", [&](std::vector<u8> &b) { rpc_at(b, 0)->argument_count = 7; }},
        {"eleven fields", [&](std::vector<u8> &b) { type_at(b, 0)->field_count = 11; }},
        {"name without terminator", [&](std::vector<u8> &b) { memset(rpc_at(b, 1)->name, 'x', rpc_name_bytes); }},
        {"calls out of order", [&](std::vector<u8> &b) { std::swap(rpc_at(b, 0)->name_id, rpc_at(b, 1)->name_id); }},
        {"repeated type id", [&](std::vector<u8> &b) { type_at(b, 1)->name_id = type_at(b, 0)->name_id; }},
        {"int of 0 bits", [&](std::vector<u8> &b) { for (u32 i = 0; i < 3; ++i) if (rpc_at(b, i)->argument_count == 2) rpc_at(b, i)->arguments[0].bits = 0; }},
        {"int of 33 bits", [&](std::vector<u8> &b) { for (u32 i = 0; i < 3; ++i) if (rpc_at(b, i)->argument_count == 2) rpc_at(b, i)->arguments[0].bits = 33; }},
        {"float range empty",
         [&](std::vector<u8> &b) {
             for (u32 i = 0; i < 2; ++i)
                 if (type_at(b, i)->field_count == 1)
                     type_at(b, i)->fields[0].maximum = 0;
         }},
        {"quaternion of 4 bits",
         [&](std::vector<u8> &b) {
             for (u32 i = 0; i < 3; ++i)
                 if (rpc_at(b, i)->argument_count == 2) {
                     rpc_at(b, i)->arguments[1].type = u32(FieldType::Quaternion);
                     rpc_at(b, i)->arguments[1].bits = 4;
                 }
         }},
        {"string as an object field",
         [&](std::vector<u8> &b) { type_at(b, 0)->fields[0].type = u32(FieldType::String); }},
        {"unknown field type", [&](std::vector<u8> &b) { type_at(b, 0)->fields[0].type = 7; }},
        {"state size not the fields' sum", [&](std::vector<u8> &b) { type_at(b, 1)->state_size += 1; }},
        {"default outside the data", [&](std::vector<u8> &b) { type_at(b, 1)->default_offset = 0xFFFFFFF0u; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<u8> bytes = write_network_config(sample_spec());
        c.damage(bytes);
        LogCapture log;
        NetworkGameConfig config;
        EXPECT_FALSE(config.open(bytes.data(), u32(bytes.size())));
        EXPECT_FALSE(config.is_open());
        const std::vector<std::string> lines = log.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find("network_game_config"), std::string::npos);
        EXPECT_EQ(config.find_rpc(NameId32("chat").value()), nullptr);
    }
}

} // namespace
} // namespace tallow::test
