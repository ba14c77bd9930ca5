// A process that saves in a loop is killed at random moments; after every kill the save
// on disk loads and is one of the states it saved.
#include "tests/save/save_kill_payload.h"
#include "tests/save/save_test_support.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

namespace tallow::test {
namespace {

TEST(SaveKillTest, KillingTheProcessNeverLosesTheLastSave)
{
    TempDirectory dir;
    std::mt19937 rng(12345);
    long last_state = -1;
    auto start = std::chrono::steady_clock::now();
    int rounds = 0;
    for (; rounds < 60 && std::chrono::steady_clock::now() - start < std::chrono::seconds(20); ++rounds) {
        SCOPED_TRACE(rounds);
        std::string first = std::to_string(last_state + 1);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            execl(TALLOW_SAVE_KILL_CHILD, TALLOW_SAVE_KILL_CHILD, dir.path(), first.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(2000 + rng() % 60000));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself with " << status;

        std::string sav = dir.file("slot.sav");
        if (!file_exists(sav)) {
            ASSERT_EQ(last_state, -1) << "a save that existed is gone";
            continue;
        }
        long state = save_kill_state_of(unpack_save_file(read_file(sav)));
        ASSERT_GE(state, 0) << "the save on disk is broken or not a saved state";
        ASSERT_GE(state, last_state) << "the save went back to an older state";
        last_state = state;
    }
    EXPECT_GT(last_state, 0) << "no save completed in " << rounds << " rounds";
}

} // namespace
} // namespace tallow::test
