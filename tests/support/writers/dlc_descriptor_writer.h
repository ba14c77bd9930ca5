#pragma once
// Content descriptors as the downloadable-content scan reads them (layout in
// resource/dlc_list.h): u32 ignored, then the name and the package, each a u32 length, the
// text and a zero byte.
#include "foundation/types.h"

#include <string>

namespace tallow::test {

inline std::string dlc_le32(u32 v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }

/// The bytes of one descriptor naming content `name` and its package `package`.
inline std::string dlc_descriptor(const std::string &name, const std::string &package)
{
    return dlc_le32(7) + dlc_le32(u32(name.size())) + name + '\0' + dlc_le32(u32(package.size())) + package + '\0';
}

} // namespace tallow::test
