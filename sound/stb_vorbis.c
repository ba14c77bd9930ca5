// The Vorbis decoder, compiled once here from Debian's libstb-dev header. Decoders always
// get a memory block (stb_vorbis_alloc), so nothing in it calls malloc while decoding.
#define STB_VORBIS_NO_STDIO 1
#define STB_VORBIS_NO_PUSHDATA_API 1
#include <stb/stb_vorbis.h>
