#include "tests/save/save_test_support.h"

#include "foundation/log.h"

#include <sys/stat.h>

#include <cstring>
#include <vector>

namespace tallow::test {
namespace {

class SaveSystemTest : public ::testing::Test {
  protected:
    SaveSystemTest() : registry(default_allocator(), "main") {}

    std::string path(const char *name) const { return dir.file(name); }

    // Saves and returns the finished record's error (null on success).
    const char *save(save::SaveSystem &saves, const char *name, const std::string &payload)
    {
        u32 token = saves.auto_save(name, payload.data(), payload.size());
        EXPECT_NE(token, 0u);
        const save::ProgressInformation *p = wait_done(saves, token);
        EXPECT_TRUE(p && p->done);
        const char *error = p ? p->error : "no record";
        EXPECT_EQ(p ? p->progress : 0.0f, 1.0f);
        saves.close(token);
        return error;
    }

    // Loads `name`: the payload, or the error code.
    std::string load(save::SaveSystem &saves, const char *name)
    {
        u32 token = saves.auto_load(name);
        auto *p = static_cast<const save::LoadProgressInformation *>(wait_done(saves, token));
        EXPECT_TRUE(p && p->done);
        if (!p)
            return "no record";
        EXPECT_EQ(p->kind, save::ProgressKind::Load);
        EXPECT_EQ(p->progress, 1.0f);
        std::string result = p->error ? p->error : std::string(reinterpret_cast<const char *>(p->data), p->size);
        if (p->error) {
            EXPECT_EQ(p->data, nullptr);
        }
        saves.close(token);
        return result;
    }

    TempDirectory dir;
    ThreadRegistry registry;
};

TEST_F(SaveSystemTest, SaveAndLoadKeepThePreviousSave)
{
    save::SaveSystem saves(registry, dir.path());
    EXPECT_EQ(save::save_system(), &saves);
    EXPECT_EQ(save(saves, "slot_1", "first"), nullptr);
    EXPECT_EQ(load(saves, "slot_1"), "first");
    EXPECT_FALSE(file_exists(path("slot_1.old")));

    EXPECT_EQ(save(saves, "slot_1", "second"), nullptr);
    EXPECT_EQ(load(saves, "slot_1"), "second");
    EXPECT_EQ(unpack_save_file(read_file(path("slot_1.old"))), "first");
    EXPECT_FALSE(file_exists(path("slot_1.new")));

    EXPECT_EQ(save(saves, "slot_1", "third"), nullptr);
    EXPECT_EQ(unpack_save_file(read_file(path("slot_1.sav"))), "third");
    EXPECT_EQ(unpack_save_file(read_file(path("slot_1.old"))), "second");
    EXPECT_EQ(saves.token_count(), 0u);
}

TEST_F(SaveSystemTest, NamesAndMissingSaves)
{
    save::SaveSystem saves(registry, dir.path());
    struct Case {
        const char *name;
        bool valid;
    };
    const Case cases[] = {
        {"slot_1", true}, {"a-b_c-09", true}, {"", false},         {"Slot", false},
        {"a.b", false},   {"../x", false},    {"sp ace", false}, {"\xC3\xA9t\xC3\xA9", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(save::is_valid_save_name(c.name), c.valid);
        if (!c.valid) {
            EXPECT_STREQ(save(saves, c.name, "x"), save::error_invalid_filename);
            EXPECT_EQ(load(saves, c.name), save::error_invalid_filename);
        }
    }
    EXPECT_EQ(load(saves, "never_saved"), save::error_missing);
}

TEST_F(SaveSystemTest, BrokenSaveFilesLoadAsBroken)
{
    save::SaveSystem saves(registry, dir.path());
    std::string good = make_save_file("payload bytes");
    std::string flipped = good;
    flipped[good.size() - 2] = char(flipped[good.size() - 2] ^ 1);
    std::string huge_length = good;
    huge_length[4] = huge_length[5] = huge_length[6] = huge_length[7] = char(0xFF);
    const std::pair<const char *, std::string> cases[] = {
        {"short", good.substr(0, 7)},
        {"flipped", flipped},
        {"cut", good.substr(0, good.size() - 4)},
        {"huge_length", huge_length},
    };
    for (const auto &[name, bytes] : cases) {
        SCOPED_TRACE(name);
        write_file(path((std::string(name) + ".sav").c_str()), bytes);
        EXPECT_EQ(load(saves, name), save::error_broken);
    }
}

// A save that cannot write its new file reports an I/O error and leaves the last save as
// it was.
TEST_F(SaveSystemTest, FailingWriteLeavesTheOldSaveUntouched)
{
    save::SaveSystem saves(registry, dir.path());
    ASSERT_EQ(save(saves, "slot", "kept"), nullptr);
    std::string before = read_file(path("slot.sav"));
    ASSERT_EQ(mkdir(path("slot.new").c_str(), 0755), 0); // the new file cannot be created
    EXPECT_STREQ(save(saves, "slot", "lost"), save::error_io);
    EXPECT_EQ(read_file(path("slot.sav")), before);
    EXPECT_EQ(load(saves, "slot"), "kept");
}

// A save that cannot keep the previous save under NAME.old fails and leaves NAME.sav as it
// was, but the new data stays on disk in NAME.new.
TEST_F(SaveSystemTest, SaveThatCannotKeepThePreviousOneKeepsTheNewFile)
{
    save::SaveSystem saves(registry, dir.path());
    ASSERT_EQ(save(saves, "slot", "kept"), nullptr);
    std::string before = read_file(path("slot.sav"));
    ASSERT_EQ(mkdir(path("slot.old").c_str(), 0755), 0); // not a file: cannot be replaced
    write_file(path("slot.old/inside"), "x");
    EXPECT_STREQ(save(saves, "slot", "new data"), save::error_io);
    EXPECT_EQ(read_file(path("slot.sav")), before);
    ASSERT_TRUE(file_exists(path("slot.new")));
    EXPECT_EQ(unpack_save_file(read_file(path("slot.new"))), "new data");
    EXPECT_EQ(load(saves, "slot"), "kept");
}

TEST_F(SaveSystemTest, TokensCountUpAndClosingInFlightIsSafe)
{
    save::SaveSystem saves(registry, dir.path());
    std::string big(3 << 20, 'z');
    u32 a = saves.auto_save("big", big.data(), big.size());
    u32 b = saves.auto_load("big");
    EXPECT_EQ(a, 1u);
    EXPECT_EQ(b, 2u);
    const save::ProgressInformation *p = saves.progress(a);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->kind, save::ProgressKind::Save);
    EXPECT_FALSE(p->done);
    saves.close(a); // while its command is queued or running
    saves.close(b);
    EXPECT_EQ(saves.progress(a), nullptr);
    u32 c = saves.auto_load("big");
    EXPECT_EQ(c, 3u);
    // Progress only moves forward: 0.0, maybe 0.5, then 1.0.
    f32 last = 0.0f;
    for (;;) {
        saves.update();
        const save::ProgressInformation *q = saves.progress(c);
        ASSERT_NE(q, nullptr);
        EXPECT_GE(q->progress, last);
        last = q->progress;
        if (q->done)
            break;
    }
    EXPECT_EQ(load(saves, "big"), big);
    saves.close(c);
    // Tokens are never reused, even after closing everything.
    EXPECT_EQ(saves.auto_load("big"), 5u);
}

TEST_F(SaveSystemTest, DestroyingWithOperationsPendingFreesEverything)
{
    {
        save::SaveSystem saves(registry, dir.path());
        std::string payload(100000, 'p');
        for (int i = 0; i < 40; ++i) // more than the queue holds
            saves.auto_save("pending", payload.data(), payload.size());
        saves.auto_load("pending");
    }
    EXPECT_EQ(save::save_system(), nullptr);
    EXPECT_EQ(registry.thread_count(), 1u);
    EXPECT_EQ(unpack_save_file(read_file(path("pending.sav"))), std::string(100000, 'p'));
}

} // namespace
} // namespace tallow::test
