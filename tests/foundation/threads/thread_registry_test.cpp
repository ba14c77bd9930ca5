#include "foundation/threads/event.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/processor.h"
#include "foundation/threads/spin_mutex.h"
#include "foundation/threads/thread.h"
#include "foundation/threads/thread_registry.h"
#include "foundation/memory/trace_allocator.h"
#include "tests/foundation/threads/thread_test_watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <pthread.h>
#include <thread>
#include <vector>

namespace tallow {
namespace {

class ThreadRegistryTest : public testing::Test {
  protected:
    TraceAllocator allocator{"thread_test", default_allocator()};
    ThreadRegistry registry{allocator, "main"};
    test::Watchdog watchdog;
};

TEST_F(ThreadRegistryTest, ShortLivedThreadIsRecordedThenRemovedAndStillJoinable)
{
    static std::atomic<int> runs{0};
    runs = 0;
    ThreadHandle handle = registry.create_thread("dlclist", [](void *) { runs++; }, nullptr);
    ASSERT_TRUE(handle.is_valid());
    const u32 id = handle.id;
    registry.join(handle); // the thread may have ended long before: the handle still joins
    EXPECT_FALSE(handle.is_valid());
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(registry.thread_count(), 1u); // only "main" is left
    EXPECT_FALSE(registry.is_running(id));
    EXPECT_FALSE(registry.handle_of(id).is_valid());
    char name[32];
    ASSERT_TRUE(registry.name_of(current_thread_id(), name, sizeof(name)));
    EXPECT_STREQ(name, "main");
    EXPECT_EQ(allocator.allocation_count(), 2u); // the record array and main's record
}

struct GateThread {
    Event started{true, false};
    Event release{true, false};
    char system_name[32] = {};
    u32 id = 0;
};

TEST_F(ThreadRegistryTest, RunningThreadHasRecordHandleAndCutSystemName)
{
    GateThread gate;
    ThreadHandle handle = registry.create_thread(
        "thread pool worker",
        [](void *argument) {
            GateThread *gate = static_cast<GateThread *>(argument);
            pthread_getname_np(pthread_self(), gate->system_name, sizeof(gate->system_name));
            gate->id = current_thread_id();
            gate->started.set();
            gate->release.wait_timeout(60000);
        },
        &gate);
    ASSERT_TRUE(handle.is_valid());
    ASSERT_TRUE(gate.started.wait_timeout(30000));
    EXPECT_EQ(gate.id, handle.id); // the id handed out is the one the thread sees
    EXPECT_NE(gate.id, current_thread_id());
    EXPECT_TRUE(registry.is_running(handle.id));
    EXPECT_EQ(registry.handle_of(handle.id).native, handle.native);
    EXPECT_STREQ(gate.system_name, "thread pool wor"); // 15 bytes: what Linux keeps
    char name[32];
    ASSERT_TRUE(registry.name_of(handle.id, name, sizeof(name)));
    EXPECT_STREQ(name, "thread pool worker");
    EXPECT_EQ(registry.thread_count(), 2u);
    gate.release.set();
    registry.join(handle);
    EXPECT_EQ(registry.thread_count(), 1u);
}

TEST_F(ThreadRegistryTest, ThreadsStartedFromManyThreadsAtOnceAreAllRemoved)
{
    struct Spawner {
        ThreadRegistry *registry;
        std::atomic<int> *runs;
    };
    std::atomic<int> runs{0};
    Spawner spawner{&registry, &runs};
    std::vector<ThreadHandle> spawners;
    for (int i = 0; i < 8; ++i) {
        spawners.push_back(registry.create_thread(
            "spawner",
            [](void *argument) {
                Spawner *s = static_cast<Spawner *>(argument);
                for (int k = 0; k < 16; ++k) {
                    ThreadHandle child = s->registry->create_thread("child", [](void *a) { (*static_cast<std::atomic<int> *>(a))++; }, s->runs);
                    s->registry->join(child);
                }
            },
            &spawner));
        ASSERT_TRUE(spawners.back().is_valid());
    }
    for (ThreadHandle &handle : spawners)
        registry.join(handle);
    EXPECT_EQ(runs.load(), 8 * 16);
    EXPECT_EQ(registry.thread_count(), 1u);
    EXPECT_EQ(allocator.allocation_count(), 2u);
}

TEST(Event, SignalAndResetRules)
{
    struct Case {
        const char *name;
        bool manual_reset;
        bool initially_set;
        bool set_before;
        bool first_wait;  // wait_timeout(0)
        bool second_wait; // wait_timeout(0) again
    };
    const Case cases[] = {
        {"auto, reset", false, false, false, false, false},
        {"auto, set: one wait takes it", false, false, true, true, false},
        {"auto, initially set", false, true, false, true, false},
        {"manual, reset", true, false, false, false, false},
        {"manual, set: stays set", true, false, true, true, true},
        {"manual, initially set", true, true, false, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Event event(7, c.manual_reset, c.initially_set);
        EXPECT_EQ(event.tag(), 7u);
        if (c.set_before)
            event.set();
        EXPECT_EQ(event.wait_timeout(0), c.first_wait);
        EXPECT_EQ(event.wait_timeout(0), c.second_wait);
        event.set();
        event.reset();
        EXPECT_FALSE(event.wait_timeout(0));
    }
}

TEST(Event, WaitForEitherTakesOnlyTheReportedSignal)
{
    Event a(false, false);
    Event b(false, false);
    EXPECT_EQ(wait_for_either_timeout(a, b, 1), -1);
    b.set();
    EXPECT_EQ(wait_for_either(a, b), 1u);
    a.set();
    b.set();
    EXPECT_EQ(wait_for_either(a, b), 0u); // the lower index when both are set
    EXPECT_EQ(wait_for_either(a, b), 1u); // b's signal was kept
    EXPECT_EQ(wait_for_either_timeout(a, b, 0), -1);

    Event manual(true, true);
    EXPECT_EQ(wait_for_either(manual, a), 0u);
    EXPECT_TRUE(manual.wait_timeout(0)); // a manual event is not taken
}

TEST(Event, AutoResetPingPongLosesNoSignal)
{
    test::Watchdog watchdog;
    Event ping(false, false);
    Event pong(false, false);
    Event unrelated(false, false);
    constexpr int rounds = 20000;
    std::atomic<int> missed{0};
    std::thread other([&] {
        for (int i = 0; i < rounds; ++i) {
            // Alternate the ways of waiting so each one must keep the signal.
            if (i % 2 == 0) {
                if (!ping.wait_timeout(30000))
                    missed++;
            } else if (wait_for_either_timeout(unrelated, ping, 30000) != 1) {
                missed++;
            }
            pong.set();
        }
    });
    for (int i = 0; i < rounds; ++i) {
        ping.set();
        if (!pong.wait_timeout(30000)) {
            missed++;
            break;
        }
    }
    other.join();
    EXPECT_EQ(missed.load(), 0);
}

TEST(Event, TimedWaitEndsWithoutSignal)
{
    Event event(false, false);
    EXPECT_FALSE(event.wait_timeout(5));
    std::thread setter([&] { event.set(); });
    EXPECT_TRUE(event.wait_timeout(30000));
    setter.join();
}

// Threads hammer one SpinMutex; now and then a holder sleeps, so the others give up
// spinning and sleep on the lock too. Every increment must land, and a held lock refuses
// try_lock.
TEST(SpinMutex, ExcludesWhetherWaitersSpinOrSleep)
{
    test::Watchdog watchdog;
    SpinMutex lock;
    u64 total = 0; // guarded by lock
    constexpr u32 threads = 6;
    constexpr u32 rounds = 20000;
    std::atomic<u32> refused{0};
    std::vector<std::thread> workers;
    for (u32 t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (u32 i = 0; i < rounds; ++i) {
                ScopedLock guard(lock);
                ++total;
                if (i % 5000 == t)
                    sleep_ms(2);
            }
        });
    for (int i = 0; i < 50; ++i) {
        ScopedLock guard(lock);
        std::thread probe([&] {
            if (!lock.try_lock())
                refused++;
        });
        probe.join();
    }
    for (std::thread &worker : workers)
        worker.join();
    EXPECT_EQ(total, u64(threads) * rounds);
    EXPECT_EQ(refused.load(), 50u);
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();
}

TEST(Processor, WorkerCountLeavesTwoProcessorsButKeepsOneWorker)
{
    struct Case {
        u32 processors;
        u32 workers;
    };
    const Case cases[] = {{1, 1}, {2, 1}, {3, 1}, {4, 2}, {8, 6}, {64, 62}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.processors);
        EXPECT_EQ(pool_worker_count(c.processors), c.workers);
    }
    const u32 count = ProcessorInfo::processor_count();
    EXPECT_GE(count, 1u);
    EXPECT_EQ(ProcessorInfo::processor_count(), count);
}

} // namespace
} // namespace tallow
