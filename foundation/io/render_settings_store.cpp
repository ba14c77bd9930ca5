#include "foundation/io/render_settings_store.h"

#include "foundation/assert.h"
#include "foundation/log.h"

namespace tallow {

namespace {
struct ConfigGlobals {
    Allocator *allocator = nullptr;
    Array<u8> *bytes = nullptr;
    u8 *flags = nullptr; // two bytes
    ConfigValue *settings = nullptr;
    ConfigValue *caps = nullptr;
};
ConfigGlobals globals;
} // namespace

bool create_config_globals(Allocator &allocator)
{
    TALLOW_ASSERT(!globals.allocator, "config globals created twice");
    if (globals.allocator)
        return true;
    ConfigGlobals made;
    made.allocator = &allocator;
    made.bytes = make_new<Array<u8>>(allocator, allocator);
    made.flags = static_cast<u8 *>(allocator.allocate(2, 1));
    made.settings = create_config_root(allocator);
    made.caps = create_config_root(allocator);
    if (!made.bytes || !made.flags || !made.settings || !made.caps) {
        log_message("config", "no memory for the render configuration values");
        delete_with_allocator(allocator, made.bytes);
        allocator.deallocate(made.flags);
        destroy_config_root(made.settings);
        destroy_config_root(made.caps);
        return false;
    }
    made.flags[0] = made.flags[1] = 0;
    globals = made;
    return true;
}

void destroy_config_globals()
{
    if (!globals.allocator)
        return;
    Allocator &allocator = *globals.allocator;
    delete_with_allocator(allocator, globals.bytes);
    allocator.deallocate(globals.flags);
    destroy_config_root(globals.settings);
    destroy_config_root(globals.caps);
    globals = ConfigGlobals();
}

void set_render_settings_value(ConstConfigValue value)
{
    TALLOW_ASSERT(globals.settings, "config globals not created");
    if (globals.settings)
        globals.settings->assign_const(value);
}

void set_render_caps_value(ConstConfigValue value)
{
    TALLOW_ASSERT(globals.caps, "config globals not created");
    if (globals.caps)
        globals.caps->assign_const(value);
}

ConfigValue &render_settings()
{
    TALLOW_ASSERT(globals.settings, "config globals not created");
    return *globals.settings;
}

ConfigValue &render_caps()
{
    TALLOW_ASSERT(globals.caps, "config globals not created");
    return *globals.caps;
}

Array<u8> &render_config_bytes()
{
    TALLOW_ASSERT(globals.bytes, "config globals not created");
    return *globals.bytes;
}

u8 *render_config_flags() { return globals.flags; }

} // namespace tallow
