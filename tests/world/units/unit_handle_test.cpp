#include "world/units/unit_handle.h"

#include <gtest/gtest.h>

#include <memory>

namespace tallow {
namespace {

// Units are only compared by address here.
Unit *fake_unit(uintptr_t i) { return reinterpret_cast<Unit *>(0x1000 + i * 16); }

class UnitHandleTableTest : public testing::Test {
  protected:
    std::unique_ptr<UnitHandleTable> table = std::make_unique<UnitHandleTable>();
};

TEST_F(UnitHandleTableTest, ReuseBumpsGenerationAndLeavesOldHandleStale)
{
    UnitHandle a = table->allocate(fake_unit(1));
    EXPECT_EQ(table->get(a), fake_unit(1));
    table->free(a);
    EXPECT_EQ(table->get(a), nullptr) << "a freed slot keeps its generation but must not resolve";
    EXPECT_EQ(table->count(), 0u);

    // Walk the cursor round to slot 0 again.
    for (u32 i = 1; i < unit_handle_slots; ++i)
        table->free(table->allocate(fake_unit(2)));
    EXPECT_EQ(table->cursor(), 0u);
    UnitHandle b = table->allocate(fake_unit(3));
    EXPECT_EQ(unit_handle_index(b), unit_handle_index(a));
    EXPECT_NE(b, a);
    EXPECT_EQ(table->get(a), nullptr);
    EXPECT_EQ(table->get(b), fake_unit(3));
}

TEST_F(UnitHandleTableTest, NullAndOutOfRangeHandlesNeverResolve)
{
    table->allocate(fake_unit(1)); // slot 0, generation 1
    EXPECT_EQ(table->get(null_unit_handle), nullptr);
    EXPECT_EQ(table->get(0xFFFF | 1u << 16), nullptr) << "index past the table";
    EXPECT_EQ(table->get(unit_handle_slots | 1u << 16), nullptr);
    table->free(0x7FFF | 1u << 16); // ignored, not a write past the table
    EXPECT_EQ(table->count(), 1u);
}

TEST_F(UnitHandleTableTest, GenerationWrapSkipsZero)
{
    table->set_slot_generation(0, 0xFFFF);
    UnitHandle h = table->allocate(fake_unit(1));
    EXPECT_EQ(unit_handle_index(h), 0u);
    EXPECT_EQ(unit_handle_generation(h), 1u);
    EXPECT_NE(h, null_unit_handle);
    table->free(h);
    EXPECT_EQ(table->get(null_unit_handle), nullptr);
}

TEST_F(UnitHandleTableTest, FullTableRefusesAndRecovers)
{
    std::vector<UnitHandle> handles;
    for (u32 i = 0; i < unit_handle_slots; ++i) {
        handles.push_back(table->allocate(fake_unit(i)));
        ASSERT_NE(handles.back(), null_unit_handle);
    }
    EXPECT_EQ(table->allocate(fake_unit(99999)), null_unit_handle) << "a full table refuses at once";
    table->free(handles[1234]);
    UnitHandle again = table->allocate(fake_unit(7));
    EXPECT_EQ(unit_handle_index(again), 1234u);
    EXPECT_EQ(table->get(handles[1233]), fake_unit(1233));
}

TEST(UnitHandleScriptValue, RoundTripTable)
{
    struct Case {
        u32 index;
        u32 generation;
    };
    const Case cases[] = {{0, 1}, {16383, 1}, {0, 0xFFFF}, {16383, 0xFFFF}, {1, 0}, {8191, 0x8000}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.index << "/" << c.generation);
        UnitHandle h = c.index | c.generation << 16;
        void *value = unit_handle_to_script_value(h);
        uintptr_t v = reinterpret_cast<uintptr_t>(value);
        EXPECT_EQ(v & 1u, 1u);
        EXPECT_LE(v, 0xFFFFFFFFu);
        EXPECT_EQ(unit_handle_from_script_value(value), h);
    }
}

TEST(UnitHandleScriptValue, ForeignValuesDecodeInRangeOrToNull)
{
    EXPECT_EQ(unit_handle_from_script_value(nullptr), null_unit_handle);
    EXPECT_EQ(unit_handle_from_script_value(reinterpret_cast<void *>(uintptr_t(0x1000))), null_unit_handle);
    if (sizeof(uintptr_t) > 4) {
        EXPECT_EQ(unit_handle_from_script_value(reinterpret_cast<void *>(uintptr_t(0x100000001ull))),
                  null_unit_handle);
    }
    // Bit 15 of the value is not part of the index: the decoded index stays in the table.
    UnitHandle h = unit_handle_from_script_value(reinterpret_cast<void *>(uintptr_t(0xFFFF)));
    EXPECT_LT(unit_handle_index(h), unit_handle_slots);
}

} // namespace
} // namespace tallow
