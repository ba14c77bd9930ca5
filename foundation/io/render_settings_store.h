#pragma once
// The process-wide render configuration values: the "render_settings" and "win_caps"
// sections of the render configuration, kept as editable trees for the renderer to read.
//
//   create_config_globals(application_static_allocator());   // at start-up
//   set_render_settings_value(render_config.member("render_settings"));
//   if (render_settings().member("shadows").to_bool()) ...   // on any thread, after set-up
//   destroy_config_globals();                                // at shutdown
//
// Created and filled on the main thread during start-up (or a render configuration
// reload, while the renderer waits); read afterwards.

#include "foundation/memory/allocator.h"
#include "foundation/containers/array.h"
#include "foundation/config/config_value.h"
#include "foundation/config/const_config_value.h"

namespace tallow {

/// Creates the four values from `allocator`, in order: an empty byte array, a record of
/// two zero bytes, the render settings tree and the render capabilities tree (both nil).
/// False (logged) when memory runs out; nothing is left half made.
bool create_config_globals(Allocator &allocator);
/// Destroys the four values; nothing happens when they do not exist.
void destroy_config_globals();

/// Replaces the render settings tree with `value` (see ConfigValue::assign_const).
void set_render_settings_value(ConstConfigValue value);
/// Replaces the render capabilities tree with `value`.
void set_render_caps_value(ConstConfigValue value);

/// The trees; only valid between create_config_globals and destroy_config_globals.
ConfigValue &render_settings();
ConfigValue &render_caps();
/// The byte array and the 2-byte record kept beside the trees for the render front end.
Array<u8> &render_config_bytes();
u8 *render_config_flags();

} // namespace tallow
