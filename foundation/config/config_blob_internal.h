#pragma once
// flatten_config with the scratch memory of its text table passed in, for tests that make
// that memory run out between the measuring and the writing pass.

#include "foundation/config/config_value.h"
#include "foundation/memory/allocator.h"

namespace tallow {

/// As flatten_config, with `scratch` holding the table of texts already stored.
void *flatten_config(const ConfigValue &value, Allocator &allocator, Allocator &scratch, u32 *out_size);

} // namespace tallow
