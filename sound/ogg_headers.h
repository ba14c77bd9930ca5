#pragma once
// A bounded walk over the first packets of an Ogg Vorbis stream, run before the decoder
// sees the bytes: the comment header's lengths are trusted by the decoder, so a stream
// whose vendor string or comments claim more bytes than their packet holds is refused
// here. Pages are followed through their lacing tables; every count is checked against
// the data's end. Any thread; allocates nothing.

#include "foundation/types.h"

namespace tallow {

/// True when the identification and comment headers are whole and every length in the
/// comment header fits its packet; false with `out_reason` otherwise.
bool check_vorbis_headers(const u8 *data, u32 size, const char **out_reason = nullptr);

} // namespace tallow
