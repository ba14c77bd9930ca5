#include "platform/window/close_signal.h"

#include <atomic>
#include <csignal>
#include <cstring>

namespace tallow::platform {

namespace {
std::atomic<int> pending_close{0};
std::atomic<int> received_count{0};
static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need lock-free atomics");

void set_handler(int signal_number, void (*handler)(int))
{
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal_number, &action, nullptr);
}

void on_close_signal(int signal_number)
{
    // The first signal asks for the orderly shutdown. A second one, whether or not the
    // first was taken yet, means the program is stuck (a script in an endless loop never
    // reaches the pump) or the shutdown is not wanted: the default action ends the process
    // with the signal's conventional status (128 + number in a shell).
    int earlier = received_count.fetch_add(1);
    if (earlier >= 1) {
        set_handler(signal_number, SIG_DFL);
        raise(signal_number);
        return;
    }
    pending_close.store(1);
}
} // namespace

void install_close_signal_handlers()
{
    pending_close.store(0);
    received_count.store(0);
    set_handler(SIGINT, on_close_signal);
    set_handler(SIGTERM, on_close_signal);
}

void uninstall_close_signal_handlers()
{
    set_handler(SIGINT, SIG_DFL);
    set_handler(SIGTERM, SIG_DFL);
}

bool take_close_signal() { return pending_close.exchange(0) != 0; }

} // namespace tallow::platform
