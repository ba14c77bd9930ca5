#include "application/crash_handler.h"
#include "foundation/fatal_error.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <exception>

using namespace tallow;

// Outside the anonymous namespace: with every derived class in sight, the compiler would
// resolve the call statically.
namespace pure_call_fixture {
struct Base {
    Base();
    virtual ~Base() = default;
    virtual void pure() = 0;
};
// Out of the optimiser's sight, so the call really goes through the vtable.
__attribute__((noinline)) void call_pure(Base *b) { b->pure(); }
Base::Base() { call_pure(this); } // a pure call during construction
struct Derived : Base {
    void pure() override {}
};

} // namespace pure_call_fixture
using pure_call_fixture::Derived;

namespace {

TEST(FatalErrorDeathTest, PrintsTheMessageAndExitsMinusOne)
{
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    EXPECT_EXIT(fatal_error("Requires a graphics card that supports at least feature level: %s", "11_0"),
                testing::ExitedWithCode(255),
                "Fatal Error! Requires a graphics card that supports at least feature level: 11_0");
}

TEST(FatalErrorDeathTest, LongMessageIsCut)
{
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    static char long_text[10000];
    for (char &c : long_text)
        c = 'x';
    long_text[sizeof(long_text) - 1] = 0;
    EXPECT_EXIT(fatal_error("%s", long_text), testing::ExitedWithCode(255), "Fatal Error! xxxx");
}

TEST(CrashHandlerDeathTest, ReportsFailureWordAndBuildId)
{
    struct Case {
        const char *name;
        void (*fail)();
        int signal_number;
        const char *report;
    };
    const Case cases[] = {
        {"abort", [] { abort(); }, SIGABRT, "crash report: failure \"signal\" \\(SIGABRT\\), build 4711"},
        {"segmentation fault", [] { raise(SIGSEGV); }, SIGSEGV, "crash report: failure \"exception\" \\(SIGSEGV\\), build 4711"},
        {"terminate", [] { std::terminate(); }, SIGABRT, "crash report: failure \"terminate\", build 4711"},
        {"pure virtual call", [] { Derived d; (void)d; }, SIGABRT, "crash report: failure \"purecall\", build 4711"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(
            {
                install_crash_handler();
                set_crash_dump_build_id(4711);
                c.fail();
            },
            testing::KilledBySignal(c.signal_number), c.report);
    }
}

TEST(CrashHandler, UninstallRestoresDefaults)
{
    install_crash_handler();
    set_crash_dump_build_id(3);
    EXPECT_EQ(crash_dump_build_id(), 3u);
    uninstall_crash_handler();
    struct sigaction action;
    sigaction(SIGSEGV, nullptr, &action);
    EXPECT_EQ(action.sa_handler, SIG_DFL);
    set_crash_dump_build_id(0);
}

} // namespace
