#include "application/program.h"

#include "application/application.h"
#include "application/application_options.h"
#include "application/crash_handler.h"
#include "foundation/fatal_error.h"
#include "foundation/strings/command_line.h"
#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/math/random_seed.h"
#include "platform/window/close_signal.h"
#include "platform/window/fatal_message_box.h"

#include <chrono>
#include <cstdlib>
#include <thread>

namespace tallow {

i32 program_main(const ProgramSetup &setup)
{
    install_crash_handler();
    set_fatal_error_presenter(&platform::show_fatal_message_box);
    memory_globals_init();
    platform::install_close_signal_handlers();
    i32 exit_code = application_main(setup);
    platform::uninstall_close_signal_handlers();
    memory_globals_shutdown();
    uninstall_crash_handler();
    return exit_code;
}

void apply_program_setup(const ProgramSetup &setup, ApplicationParams &out_params)
{
    out_params.game_factory = setup.game_factory;
    out_params.services = setup.services;
    out_params.world_services = setup.world_services;
    out_params.register_resource_types = setup.register_resource_types;
}

i32 application_main(const ProgramSetup &setup)
{
    Array<DynamicString> arguments(default_allocator());
    if (!command_line_arguments(arguments))
        log_message("application", "the command line cannot be read; using the defaults");
    ApplicationOptions *options = make_new<ApplicationOptions>(default_allocator(), default_allocator(), arguments);
    if (!options)
        return 1;

    if (options->hold) {
        log_message("application", "-hold: waiting for a debugger");
        while (!is_debugger_attached())
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    // Once per process: scripts draw from the C runtime's generator.
    static bool seeded = false;
    if (!seeded) {
        srand(random_seed());
        seeded = true;
    }
    // The system timer resolution is already fine-grained here; nothing to raise.

    ApplicationParams params;
    params.options = options;
    apply_program_setup(setup, params);
    Application *application = create_application(params);
    bool started = false;
    if (application) {
        started = application->run() == RunResult::Quit;
        destroy_application(application);
    }
    if (setup.release_resource_types)
        setup.release_resource_types();
    delete_with_allocator(default_allocator(), options);
    if (!started) {
        log_message("application", "start-up failed; see the messages above");
        return 1;
    }
    return 0;
}

} // namespace tallow
