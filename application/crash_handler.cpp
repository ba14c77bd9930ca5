#include "application/crash_handler.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

namespace tallow {

namespace {

std::atomic<u32> build_id{0};
std::atomic<int> reporting{0};
std::terminate_handler previous_terminate = nullptr;

const int fatal_signals[] = {SIGABRT, SIGSEGV, SIGBUS, SIGILL, SIGFPE};

// A stack of its own, so a stack overflow can still be reported.
alignas(16) char alternate_stack[64 * 1024];

// Everything below runs inside signal handlers: only write(2), open/read and fixed buffers.
void write_text(const char *text) { (void)!write(STDERR_FILENO, text, strlen(text)); }

void write_unsigned(u64 value)
{
    char digits[24];
    int n = 0;
    do {
        digits[n++] = char('0' + value % 10);
        value /= 10;
    } while (value && n < 24);
    char out[24];
    for (int i = 0; i < n; ++i)
        out[i] = digits[n - 1 - i];
    (void)!write(STDERR_FILENO, out, size_t(n));
}

const char *signal_name(int signal_number)
{
    switch (signal_number) {
    case SIGABRT: return "SIGABRT";
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    default: return "signal";
    }
}

// The report a crash dump would carry: the failure word and the build id.
void write_crash_report(const char *word, const char *detail)
{
    if (reporting.exchange(1) != 0)
        return; // a failure inside the report itself: leave it to the default handling
    if (is_debugger_attached())
        return;
    write_text("crash report: failure \"");
    write_text(word);
    write_text("\"");
    if (detail) {
        write_text(" (");
        write_text(detail);
        write_text(")");
    }
    write_text(", build ");
    write_unsigned(build_id.load());
    write_text("\n");
    void *frames[64];
    int count = backtrace(frames, 64);
    backtrace_symbols_fd(frames, count, STDERR_FILENO);
}

void set_default(int signal_number)
{
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
}

void on_fatal_signal(int signal_number)
{
    write_crash_report(signal_number == SIGABRT ? "signal" : "exception", signal_name(signal_number));
    // The default action follows: the process ends by the same signal, with its core dump.
    set_default(signal_number);
    raise(signal_number);
}

[[noreturn]] void on_terminate()
{
    write_crash_report("terminate", nullptr);
    set_default(SIGABRT);
    abort();
}

} // namespace

bool is_debugger_attached()
{
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof(buffer) - 1);
    close(fd);
    if (n <= 0)
        return false;
    buffer[n] = 0;
    const char *tracer = strstr(buffer, "TracerPid:");
    if (!tracer)
        return false;
    tracer += strlen("TracerPid:");
    while (*tracer == ' ' || *tracer == '\t')
        ++tracer;
    return *tracer >= '1' && *tracer <= '9';
}

void set_crash_dump_build_id(u32 id) { build_id.store(id); }
u32 crash_dump_build_id() { return build_id.load(); }

void install_crash_handler()
{
    reporting.store(0);
    // backtrace loads its unwinder on first use; do that now, outside any signal handler.
    void *warm_up[1];
    backtrace(warm_up, 1);

    stack_t stack;
    memset(&stack, 0, sizeof(stack));
    stack.ss_sp = alternate_stack;
    stack.ss_size = sizeof(alternate_stack);
    sigaltstack(&stack, nullptr);

    for (int signal_number : fatal_signals) {
        struct sigaction action;
        memset(&action, 0, sizeof(action));
        action.sa_handler = on_fatal_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_ONSTACK;
        sigaction(signal_number, &action, nullptr);
    }
    previous_terminate = std::set_terminate(on_terminate);
}

void uninstall_crash_handler()
{
    for (int signal_number : fatal_signals)
        set_default(signal_number);
    std::set_terminate(previous_terminate);
    previous_terminate = nullptr;
}

} // namespace tallow

// A call of a pure virtual function (an object used during its construction or after its
// destruction) is reported under its own word before the process ends.
extern "C" [[noreturn]] void __cxa_pure_virtual()
{
    tallow::write_crash_report("purecall", nullptr);
    tallow::set_default(SIGABRT);
    abort();
}
