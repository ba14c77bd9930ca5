// Saves numbered states in a loop until killed; the kill test runs it. Each state's
// payload is `save_kill_payload(n)`; after each completed save one byte goes to REPORT_FD.
// Usage: save_kill_child SAVE_DIR FIRST_STATE REPORT_FD
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/thread_registry.h"
#include "save/save_system.h"
#include "tests/save/save_kill_payload.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 4)
        return 2;
    using namespace tallow;
    memory_globals_init();
    {
        ThreadRegistry registry(default_allocator(), "main");
        save::SaveSystem saves(registry, argv[1]);
        for (u32 n = u32(std::strtoul(argv[2], nullptr, 10));; ++n) {
            std::string payload = test::save_kill_payload(n);
            u32 token = saves.auto_save("slot", payload.data(), payload.size());
            for (;;) {
                saves.update();
                const save::ProgressInformation *p = saves.progress(token);
                if (!p || p->done)
                    break;
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
            saves.close(token);
            char done = 1;
            if (write(std::atoi(argv[3]), &done, 1) != 1)
                break;
        }
    }
    memory_globals_shutdown();
    return 0;
}
