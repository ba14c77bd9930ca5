#pragma once
// What the Application's source files share: the log category and the settings paths the
// start-up steps and the user settings read. Not for use outside application/.

#include "foundation/config/const_config_value.h"

namespace tallow {

inline constexpr char log_category[] = "application";

inline ConstConfigValue win32_setting(ConstConfigValue settings, const char *key) { return settings.member("win32").member(key); }
inline ConstConfigValue renderer_setting(ConstConfigValue settings, const char *key)
{
    return settings.member("win32").member("renderer").member(key);
}

} // namespace tallow
