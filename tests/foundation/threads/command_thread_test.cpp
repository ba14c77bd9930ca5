#include "foundation/threads/command_thread.h"
#include "foundation/threads/job_kernel.h"
#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/memory/trace_allocator.h"
#include "tests/foundation/threads/thread_test_watchdog.h"
#include "tests/support/fakes/recording_allocator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace tallow {
namespace {

struct Journal {
    std::vector<u32> executed; // job numbers, written on the command thread only
    std::vector<u32> finished; // job numbers, written on the owner's thread only
    std::atomic<u32> executed_count{0};
    std::vector<u32> destroyed; // job numbers, as their destructors ran
    u32 wrong_execute_thread = 0;
    u32 wrong_finish_thread = 0;
    u32 owner = 0;
    u32 command_thread = 0;
};

class NumberedJob : public CommandThreadJob {
  public:
    NumberedJob(Journal &journal, u32 number, bool destroy) : _journal(journal), _number(number), _destroy(destroy) {}
    ~NumberedJob() override { _journal.destroyed.push_back(_number); }
    void execute() override
    {
        if (_journal.command_thread == 0)
            _journal.command_thread = current_thread_id();
        if (current_thread_id() == _journal.owner || current_thread_id() != _journal.command_thread)
            _journal.wrong_execute_thread++;
        _journal.executed.push_back(_number);
        _journal.executed_count.fetch_add(1, std::memory_order_release);
    }
    bool finish() override
    {
        if (current_thread_id() != _journal.owner)
            _journal.wrong_finish_thread++;
        _journal.finished.push_back(_number);
        return _destroy;
    }

  private:
    Journal &_journal;
    u32 _number;
    bool _destroy;
};

class CommandThreadTest : public testing::Test {
  protected:
    CommandThreadTest() { journal.owner = current_thread_id(); }

    // Calls update once per "frame" until `count` jobs have finished; false after 60 s.
    bool update_until_finished(CommandThread &thread, u32 count)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (journal.finished.size() < count) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            thread.update();
            sleep_ms(1);
        }
        return true;
    }

    TraceAllocator registry_allocator{"thread", default_allocator()};
    ThreadRegistry registry{registry_allocator, "main"};
    TraceAllocator jobs{"command_jobs", default_allocator()};
    Journal journal;
    test::Watchdog watchdog;
};

TEST_F(CommandThreadTest, ExecutesInOrderOnItsThreadAndFinishesOnTheOwner)
{
    std::vector<NumberedJob *> kept;
    {
        CommandThread thread(jobs, registry, 32, "save_system");
        ASSERT_TRUE(thread.is_running());
        for (u32 i = 0; i < 100; ++i) {
            NumberedJob *job = make_new<NumberedJob>(jobs, journal, i, i % 3 != 0);
            if (i % 3 == 0)
                kept.push_back(job);
            thread.push(job);
        }
        ASSERT_TRUE(update_until_finished(thread, 100));
        EXPECT_EQ(registry.thread_count(), 2u);
    }
    EXPECT_EQ(registry.thread_count(), 1u);
    std::vector<u32> in_order(100);
    for (u32 i = 0; i < 100; ++i)
        in_order[i] = i;
    EXPECT_EQ(journal.executed, in_order);
    EXPECT_EQ(journal.finished, in_order);
    EXPECT_EQ(journal.wrong_execute_thread, 0u);
    EXPECT_EQ(journal.wrong_finish_thread, 0u);
    // finish() true freed the job; false left it with its owner.
    EXPECT_EQ(jobs.allocation_count(), kept.size());
    for (NumberedJob *job : kept)
        delete_with_allocator(jobs, job);
    EXPECT_EQ(jobs.allocation_count(), 0u);
}

// Each save queues work on a 32-job command thread; a frame with far more saves than that
// must not hang the owner, which pushes without calling update in between.
TEST_F(CommandThreadTest, ManySavesWorthOfJobsInOneFrameDoNotHang)
{
    constexpr u32 count = 2000;
    {
        CommandThread thread(jobs, registry, 32, "save_system");
        for (u32 i = 0; i < count; ++i)
            thread.push(make_new<NumberedJob>(jobs, journal, i, true));
        EXPECT_GT(thread.waiting_for_update(), 0u); // push took executed jobs off the done queue
        ASSERT_TRUE(update_until_finished(thread, count));
    }
    for (u32 i = 0; i < count; ++i)
        ASSERT_EQ(journal.finished[i], i);
    EXPECT_EQ(jobs.allocation_count(), 0u);
}

TEST_F(CommandThreadTest, StopWithFullQueuesDoesNotHang)
{
    {
        CommandThread thread(jobs, registry, 4, "save_system");
        for (u32 i = 0; i < 50; ++i)
            thread.push(make_new<NumberedJob>(jobs, journal, i, true));
        thread.stop(); // the thread may be blocked on its full done queue
        EXPECT_FALSE(thread.is_running());
        EXPECT_EQ(journal.executed_count.load(std::memory_order_acquire), 50u);
        thread.update();
        EXPECT_EQ(journal.finished.size(), 50u);
    }
    EXPECT_EQ(jobs.allocation_count(), 0u);
}

TEST_F(CommandThreadTest, DestroyingFreesExecutedJobsWithoutFinishingThem)
{
    // stop() lets the thread execute everything queued, so at destruction every job has
    // run; those not finished yet (on the done queue or taken off it by a push) are each
    // destroyed once, and none of them finishes.
    {
        CommandThread thread(jobs, registry, 2, "save_system");
        for (u32 i = 0; i < 9; ++i)
            thread.push(make_new<NumberedJob>(jobs, journal, i, false));
        thread.stop();
    }
    std::vector<u32> all = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(journal.executed, all);
    EXPECT_TRUE(journal.finished.empty());
    std::vector<u32> destroyed = journal.destroyed;
    std::sort(destroyed.begin(), destroyed.end());
    EXPECT_EQ(destroyed, all) << "each job destroyed exactly once";
    EXPECT_EQ(jobs.allocation_count(), 0u);
    EXPECT_EQ(registry.thread_count(), 1u);
}

TEST_F(CommandThreadTest, WithoutItsThreadJobsExecuteInPushAndFinishInUpdate)
{
    // The registry cannot record another thread: the command thread does not start.
    test::RecordingAllocator registry_memory;
    ThreadRegistry full_registry(registry_memory, "main");
    registry_memory.set_always_fail(true);
    NumberedJob *kept = nullptr;
    {
        CommandThread thread(jobs, full_registry, 4, "save_system");
        EXPECT_FALSE(thread.is_running());
        for (u32 i = 0; i < 10; ++i) {
            NumberedJob *job = make_new<NumberedJob>(jobs, journal, i, i != 9);
            if (i == 9)
                kept = job;
            thread.push(job);
            EXPECT_EQ(journal.executed.size(), i + 1) << "executed inside push";
        }
        EXPECT_EQ(journal.wrong_execute_thread, 10u) << "on the owner's thread";
        EXPECT_TRUE(journal.finished.empty());
        thread.update();
        std::vector<u32> all = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
        EXPECT_EQ(journal.finished, all);
        EXPECT_EQ(thread.waiting_for_update(), 0u);
        thread.stop(); // nothing to stop
    }
    EXPECT_EQ(jobs.allocation_count(), 1u) << "the job whose finish returned false is its owner's";
    EXPECT_EQ(journal.destroyed.size(), 9u);
    delete_with_allocator(jobs, kept);
    registry_memory.set_always_fail(false);
}

// A kernel library built beside the tests exports update_kernel; see threads.cmake.
constexpr const char *test_kernel = "tallow_test_kernel";

void double_items(const JobData &batch)
{
    u32 *items = batch.stream_as<u32>(0);
    for (u32 i = 0; i < batch.count(); ++i)
        items[i] *= 2;
}

TEST(KernelRegistry, KeepsTheFirstRegistrationAndRejectsTheTwentyFirst)
{
    KernelRegistry registry;
    const u32 index = registry.find_or_add("job_animation_player", &double_items);
    EXPECT_EQ(index, 0u);
    std::string same_text = "job_animation_player"; // compared as text, not by pointer
    EXPECT_EQ(registry.find_or_add(same_text.c_str(), nullptr), index);
    EXPECT_EQ(registry.update_function(index), &double_items);

    static char names[max_kernels][16];
    for (u32 i = 1; i < max_kernels; ++i) {
        snprintf(names[i], sizeof(names[i]), "kernel_%u", i);
        EXPECT_EQ(registry.find_or_add(names[i], &double_items), i);
    }
    EXPECT_EQ(registry.count(), max_kernels);
    EXPECT_EQ(registry.find_or_add("one_too_many", &double_items), no_kernel);
    EXPECT_EQ(registry.count(), max_kernels);
    EXPECT_EQ(registry.update_function(no_kernel), nullptr);
}

TEST(KernelRegistry, LoadsAKernelWithoutFunctionFromItsLibrary)
{
    char file[64];
    KernelRegistry::library_name("job_vfc_oobb", file, sizeof(file));
    EXPECT_STREQ(file, "libjob_vfc_oobb.so");

    KernelRegistry registry;
    const u32 index = registry.find_or_add(test_kernel, nullptr);
    ASSERT_NE(index, no_kernel);
    JobFunction function = registry.update_function(index);
    ASSERT_NE(function, nullptr);
    u32 items[3] = {1, 2, 3};
    Job job("kernel_test");
    JobData data(job);
    data.set_stream(0, {items, sizeof(u32)});
    job.set_count(3);
    function(data);
    EXPECT_EQ(items[0], 4u); // the test kernel multiplies by 4
    EXPECT_EQ(items[2], 12u);
}

TEST(KernelRegistry, MissingLibraryLeavesTheFunctionNullAndSaysSo)
{
    struct Capture {
        std::string text;
    } capture;
    set_log_capture([](void *user, const char *, const char *message) { static_cast<Capture *>(user)->text += message; },
                    &capture, false);
    KernelRegistry registry;
    const u32 index = registry.find_or_add("no_such_kernel", nullptr);
    set_log_capture(nullptr, nullptr);
    ASSERT_NE(index, no_kernel);
    EXPECT_EQ(registry.update_function(index), nullptr);
    EXPECT_NE(capture.text.find("libno_such_kernel.so"), std::string::npos) << capture.text;
    EXPECT_FALSE(registry.load(index));
    EXPECT_FALSE(registry.load(no_kernel));
}

} // namespace
} // namespace tallow
