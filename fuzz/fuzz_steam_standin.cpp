// The online-services stand-in's readers of bytes another process wrote: a lobby file of the
// folder hub, and the leaderboard detail reader walked with a format from the same bytes.
#include "network/steam/leaderboard_details.h"
#include "platform/steam/steam_hub_internal.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace tallow;
    steam::LobbyRecord record;
    if (steam::read_lobby_text(reinterpret_cast<const char *>(data), size, &record)) {
        const std::string text = steam::write_lobby_text(record);
        steam::LobbyRecord again;
        if (!steam::read_lobby_text(text.data(), text.size(), &again) || again.members != record.members ||
            again.data != record.data)
            __builtin_trap(); // what we write, we read back
    }
    // Details: the first byte picks a field width, the rest is the entry's bytes.
    if (size > 0) {
        network::steam::DetailReader reader(data + 1, u32(size - 1));
        u32 value;
        const u32 bits = data[0] % 33;
        while (reader.read_bits(bits ? bits : 1, &value)) {
        }
    }
    return 0;
}
