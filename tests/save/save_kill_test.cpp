// A process that saves in a loop is killed at random moments; after every kill the save
// on disk loads and is one of the states it saved, never older than the last one the
// process reported complete.
#include "tests/save/save_kill_payload.h"
#include "tests/save/save_test_support.h"

#include <poll.h>
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
    for (; rounds < 40 && std::chrono::steady_clock::now() - start < std::chrono::seconds(20); ++rounds) {
        SCOPED_TRACE(rounds);
        std::string first = std::to_string(last_state + 1);
        int report[2];
        ASSERT_EQ(pipe(report), 0);
        std::string report_fd = std::to_string(report[1]);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(report[0]);
            execl(TALLOW_SAVE_KILL_CHILD, TALLOW_SAVE_KILL_CHILD, dir.path(), first.c_str(), report_fd.c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        close(report[1]);
        // The kill lands at a random moment after the child's first save of this round, so
        // slow start-up (sanitizers, a busy machine) still leaves saves to interrupt.
        pollfd ready{report[0], POLLIN, 0};
        bool saved_once = poll(&ready, 1, 30000) == 1;
        char byte;
        saved_once = saved_once && read(report[0], &byte, 1) == 1;
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 30000));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        close(report[0]);
        ASSERT_TRUE(saved_once) << "the child saved nothing";
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself with " << status;
        long reported = last_state + 1; // the child reported this state saved

        std::string sav = dir.file("slot.sav");
        ASSERT_TRUE(file_exists(sav)) << "the save is gone";
        long state = save_kill_state_of(unpack_save_file(read_file(sav)));
        ASSERT_GE(state, 0) << "the save on disk is broken or not a saved state";
        ASSERT_GE(state, reported) << "the save went back before a state reported complete";
        last_state = state;
    }
    EXPECT_GE(rounds, 5);
}

} // namespace
} // namespace tallow::test
