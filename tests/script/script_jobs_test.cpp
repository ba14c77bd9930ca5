#include "script_fixture.h"

#include "foundation/threads/job.h"
#include "foundation/threads/thread.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "script/script_api.h"
#include "script/runtime/script_jobs.h"

#include <algorithm>
#include <set>
#include <thread>

namespace tallow::test {
namespace {

struct Hit {
    std::thread::id thread;
    LuaEnvironment *state;
    UnitHandle unit;
    double tag;
};
std::mutex hits_lock;
std::vector<Hit> hits;

int record_hit(lua_State *L)
{
    LuaStack s(L);
    Hit hit{std::this_thread::get_id(), &s.environment(), s.get_unit_handle(1), s.get_number(2)};
    std::lock_guard<std::mutex> guard(hits_lock);
    hits.push_back(hit);
    return 0;
}

class ScriptJobsTest : public ::testing::Test {
  public:
    static constexpr u32 workers = 4;

    ScriptJobsTest()
    {
        pool.add_worker(current_thread_id()); // as the main thread is in the program
        hits.clear();
        run_on_every_job_thread(jobs, "init_script_job", [](void *user) {
            auto *self = static_cast<ScriptJobsTest *>(user);
            std::lock_guard<std::mutex> guard(self->lock);
            LuaEnvironment *env = create_script_thread_lua_state(default_allocator(), &self->source);
            ASSERT_NE(env, nullptr);
            register_job_thread_script_api(*env);
            env->add_module_function("Record", "hit", record_hit);
            ++self->states;
        }, this);
    }
    ~ScriptJobsTest() override
    {
        run_on_every_job_thread(jobs, "shutdown_script_job", [](void *) {
            destroy_script_thread_lua_state(default_allocator());
        }, nullptr);
    }
    void require_everywhere(const char *name)
    {
        struct Request {
            ScriptJobsTest *self;
            const char *name;
        } request{this, name};
        run_on_every_job_thread(jobs, "require_job", [](void *user) {
            auto *r = static_cast<Request *>(user);
            std::lock_guard<std::mutex> guard(r->self->lock);
            LuaEnvironment *env = script_thread_lua_state();
            CallResult result = env->require(r->name);
            EXPECT_FALSE(result.error) << lua_tostring(result.state, -1);
            lua_settop(env->state(), 0);
        }, &request);
    }

    LogRecorder log;
    StringScriptSource source;
    ThreadRegistry registry{default_allocator(), "main"};
    ThreadPool pool{default_allocator(), workers, registry};
    JobSystem jobs{pool};
    std::mutex lock;
    u32 states = 0;
};

TEST_F(ScriptJobsTest, ItemsRunOnceEachOnEveryJobThreadsOwnState)
{
    EXPECT_EQ(states, workers + 1);
    source.set("jobs", "function work(unit)\n"
                       "  local x = 0 for i = 1, 200000 do x = x + i end\n" // long enough to spread
                       "  Record.hit(unit, speed * 2)\n"
                       "end");
    require_everywhere("jobs");
    ScriptJobs script_jobs(jobs);
    for (u32 i = 0; i < 400; ++i)
        script_jobs.add_job("work", UnitHandle(i));
    script_jobs.set_job_global("speed", 1.5f);
    EXPECT_EQ(script_jobs.run(), 0u);
    EXPECT_EQ(script_jobs.item_count(), 0u);
    EXPECT_EQ(script_jobs.global_count(), 0u);

    ASSERT_EQ(hits.size(), 400u);
    std::set<UnitHandle> units;
    std::set<std::thread::id> threads;
    std::set<LuaEnvironment *> envs;
    for (const Hit &hit : hits) {
        units.insert(hit.unit);
        threads.insert(hit.thread);
        envs.insert(hit.state);
        EXPECT_EQ(hit.tag, 3.0); // the job global arrives as a number
    }
    EXPECT_EQ(units.size(), 400u);
    EXPECT_EQ(threads.size(), envs.size()); // one state per thread
    EXPECT_GE(threads.size(), workers);      // every worker took part
}

TEST_F(ScriptJobsTest, RequireAndReloadReachEveryJobState)
{
    source.set("jobs", "function work(unit) Record.hit(unit, 1) end");
    require_everywhere("jobs");
    ScriptJobs script_jobs(jobs);
    for (u32 i = 0; i < 100; ++i)
        script_jobs.add_job("work", UnitHandle(i));
    EXPECT_EQ(script_jobs.run(), 0u);

    source.set("jobs", "function work(unit) Record.hit(unit, 2) end");
    run_on_every_job_thread(jobs, "reload_job", [](void *user) {
        std::lock_guard<std::mutex> guard(static_cast<ScriptJobsTest *>(user)->lock);
        script_thread_lua_state()->reload_all();
    }, this);
    hits.clear();
    for (u32 i = 0; i < 100; ++i)
        script_jobs.add_job("work", UnitHandle(i));
    EXPECT_EQ(script_jobs.run(), 0u);
    ASSERT_EQ(hits.size(), 100u);
    for (const Hit &hit : hits)
        EXPECT_EQ(hit.tag, 2.0);
}

TEST_F(ScriptJobsTest, AScriptErrorEndsOnlyItsBatchAndIsCounted)
{
    source.set("jobs", "function work(unit) Record.hit(unit, 0) if unit == failing then error('unit 7') end end\n"
                       "function other(unit) Record.hit(unit, 1) end");
    require_everywhere("jobs");
    ScriptJobs script_jobs(jobs);
    script_jobs.set_error_pause_ms(0);
    // Unit 7's reference compares equal to the global `failing` set below.
    for (u32 i = 0; i < 200; ++i)
        script_jobs.add_job(i < 100 ? "work" : "other", UnitHandle(i));
    run_on_every_job_thread(jobs, "set_failing", [](void *) {
        lua_State *L = script_thread_lua_state()->state();
        LuaStack(L).push_unit_reference(7);
        lua_setglobal(L, "failing");
    }, nullptr);
    EXPECT_EQ(script_jobs.run(), 1u);
    EXPECT_EQ(log.count("Script job error"), 1);
    EXPECT_EQ(log.count("unit 7"), 1);
    std::set<UnitHandle> units;
    for (const Hit &hit : hits)
        units.insert(hit.unit);
    EXPECT_TRUE(units.count(7));
    EXPECT_LT(units.size(), 200u); // the rest of unit 7's batch did not run
    for (u32 i = 100; i < 200; ++i) { // only a batch that began before 100 can skip these
        if (!units.count(i)) {
            EXPECT_LT(i, 100u + 20u);
        }
    }
    // Nothing queued runs nothing.
    EXPECT_EQ(script_jobs.run(), 0u);
}

} // namespace
} // namespace tallow::test
