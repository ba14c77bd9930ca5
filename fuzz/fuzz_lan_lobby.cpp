// Lobby datagrams from outside fed to a hosted lobby, a joined member's lobby and a lobby
// browser (see fuzz_lan_lobby.h). Whatever arrives, they stay inside their buffers, keep
// the owner first in its own list, and never list more members than a lobby holds. Only
// the receive side runs: updates would send to whatever addresses a forged member list
// names, and nothing here may leave the loopback address.
#include "fuzz/fuzz_lan_lobby.h"
#include "fuzz/fuzz_support.h"
#include "network/lan/lan_client.h"
#include "tests/support/writers/lan_datagram_writer.h"

#include <cstdlib>

using namespace tallow;
using namespace tallow::network;

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    LanClientSettings settings;
    settings.own_id = 0xA1;
    settings.targets.targets[0] = {ipv4_loopback, 0};
    settings.targets.count = 1;
    static LanClient *owner_client = make_new<LanClient>(default_allocator(), default_allocator(), settings);
    settings.own_id = 0xB2;
    static LanClient *member_client = make_new<LanClient>(default_allocator(), default_allocator(), settings);

    LanLobby owner(owner_client->lan_transport(), 0xA1, 0, 8, default_allocator());
    const IpAddress owner_at{ipv4_loopback, owner.port()};
    LanLobby member(member_client->lan_transport(), 0xB2, 0, owner_at, default_allocator());
    const IpAddress member_at{ipv4_loopback, member.port()};
    LanLobbyBrowser &browser = member_client->browser();
    // An honest start: the member joined and holds the owner's list; the browser found the lobby.
    const std::vector<u8> join = test::lan_join_request(0xB2, 5000);
    owner.handle_datagram(join.data(), u32(join.size()), member_at);
    const std::vector<u8> accepted = test::lan_join_reply(true);
    member.handle_datagram(accepted.data(), u32(accepted.size()), owner_at);
    const std::vector<u8> list =
        test::lan_member_list({{0xA1, ipv4_loopback, owner.port(), 4000}, {0xB2, ipv4_loopback, member.port(), 5000}}, 0);
    member.handle_datagram(list.data(), u32(list.size()), owner_at);
    const u8 answer = 5;
    browser.handle_datagram(&answer, 1, owner_at);

    const IpAddress sources[] = {owner_at, member_at, {ipv4_loopback, 9}, {ipv4(127, 0, 0, 2), 9}};
    size_t at = 0;
    while (at + 4 <= size) {
        const u8 to = data[at] % 3;
        const IpAddress from = sources[data[at + 1] % 4];
        u32 length = u32(data[at + 2] | data[at + 3] << 8);
        at += 4;
        if (length > size - at)
            length = u32(size - at);
        if (length > lan_datagram_bytes)
            length = lan_datagram_bytes;
        const u8 *bytes = data + at;
        at += length;
        if (to == 0)
            owner.handle_datagram(bytes, length, from);
        else if (to == 1)
            member.handle_datagram(bytes, length, from);
        else
            browser.handle_datagram(bytes, length, from);
        if (owner.owner() != 0xA1 || owner.member_count() > 8 || member.member_count() > lan_max_lobby_members)
            abort();
        // Readers of the blocks stay inside them.
        for (const char *k = member.data().next_key(nullptr); k; k = member.data().next_key(k))
            if (!member.data().value_of(k))
                abort();
        for (u32 i = 0; i < member.member_count(); ++i)
            (void)member.get_member_data(i, "name");
        for (u32 i = 0; i < browser.lobby_count(); ++i)
            (void)browser.lobby(i)->data.get("name");
    }
    browser.update(LanLobbyBrowser::refresh_seconds + 1); // ends the search; reads nothing
    return 0;
}
