// The online-services stand-in's readers of bytes another process wrote or sent. The first
// byte picks the reader; the rest is its input:
//   0 a lobby file's text (read, written and read back),
//   1 leaderboard details walked with a field width from the next byte,
//   2 peer-to-peer datagrams sent to the folder hub's own endpoint on 127.0.0.1 (each
//     [u8 length / 5][bytes]), taken in by the callback pump and read out,
//   3 an endpoint file of another user, read as the lobby reads it to see whether that
//     user's process lives,
//   4 a lobby file on disk, listed and joined through matchmaking.
// The folder hub lives in a temporary folder made on the first run; nothing leaves the
// loopback address.
#include "network/steam/leaderboard_details.h"
#include "platform/steam/steam_hub_internal.h"

#include <arpa/inet.h>
#include <ftw.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using namespace tallow;

constexpr u64 own_user = 0xF00D;
constexpr u64 other_user = 0xBEEF;
constexpr u64 fuzz_lobby = 0x0186000000ABCDEFull;

struct Standin {
    std::string root;
    steam::HubState *hub = nullptr; // a second view of the folder, for the internal readers
    int socket = -1;
    sockaddr_in endpoint{};
    bool ready = false;

    Standin()
    {
        char folder[] = "/tmp/tallow_fuzz_steam_XXXXXX";
        if (!mkdtemp(folder))
            return;
        root = folder;
        setenv("TALLOW_STEAM_ROOT", root.c_str(), 1);
        setenv("TALLOW_STEAM_USER", "f00d", 1);
        if (!steam::api_init())
            return;
        hub = steam::open_folder_hub(root.c_str(), other_user, "other");
        // The own endpoint's port, from the line the hub wrote: "port pid name".
        FILE *f = fopen((root + "/endpoints/f00d").c_str(), "r");
        long port = 0;
        if (!f || fscanf(f, "%ld", &port) != 1) {
            if (f)
                fclose(f);
            return;
        }
        fclose(f);
        endpoint.sin_family = AF_INET;
        endpoint.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        endpoint.sin_port = htons(u16(port));
        socket = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ready = hub && socket >= 0 && bind(socket, reinterpret_cast<sockaddr *>(&local), sizeof(local)) == 0;
    }
};

int remove_entry(const char *path, const struct stat *, int, FTW *) { return remove(path); }

void remove_folder()
{
    steam::api_shutdown();
    const char *root = getenv("TALLOW_STEAM_ROOT");
    if (root && strncmp(root, "/tmp/tallow_fuzz_steam_", 23) == 0)
        nftw(root, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

Standin &standin()
{
    static Standin s;
    static const bool cleaned = atexit(remove_folder) == 0; // the folder goes at exit
    (void)cleaned;
    return s;
}

void write_file(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return;
    if (size)
        fwrite(data, 1, size, f);
    fclose(f);
}

void datagrams(Standin &s, const uint8_t *data, size_t size)
{
    u64 first_sender = 0;
    bool any = false;
    for (size_t at = 0; at < size;) {
        const size_t length = std::min<size_t>(size_t(data[at]) * 5, size - at - 1);
        const uint8_t *bytes = data + at + 1;
        if (!any && length >= 8) {
            memcpy(&first_sender, bytes, 8);
            any = true;
        }
        sendto(s.socket, bytes, length, 0, reinterpret_cast<const sockaddr *>(&s.endpoint), sizeof(s.endpoint));
        at += 1 + length;
    }
    steam::run_callbacks();
    steam::Networking *net = steam::networking();
    if (any && net)
        net->accept_p2p_session_with_user(first_sender);
    u8 buffer[1300];
    u32 got = 0;
    u64 from = 0;
    for (u32 channel = 0; channel < 4 && net; ++channel)
        for (u32 i = 0; i < 4096 && net->read_p2p_packet(buffer, sizeof(buffer), &got, &from, channel); ++i) {
        }
    steam::run_callbacks();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const u32 reader = data[0] % 5;
    ++data;
    --size;
    switch (reader) {
    case 0: {
        steam::LobbyRecord record;
        if (steam::read_lobby_text(reinterpret_cast<const char *>(data), size, &record)) {
            const std::string text = steam::write_lobby_text(record);
            steam::LobbyRecord again;
            if (!steam::read_lobby_text(text.data(), text.size(), &again) || again.members != record.members ||
                again.data != record.data)
                __builtin_trap(); // what we write, we read back
        }
        break;
    }
    case 1: {
        if (size == 0)
            break;
        network::steam::DetailReader details(data + 1, u32(size - 1));
        u32 value;
        const u32 bits = data[0] % 33;
        while (details.read_bits(bits ? bits : 1, &value)) {
        }
        break;
    }
    case 2: {
        Standin &s = standin();
        if (s.ready)
            datagrams(s, data, size);
        break;
    }
    case 3: {
        Standin &s = standin();
        if (!s.ready)
            break;
        write_file(s.root + "/endpoints/beef", data, size);
        steam::LobbyRecord record;
        record.id = fuzz_lobby;
        record.owner = other_user;
        record.members = {other_user, own_user};
        steam::FolderLock lock(*s.hub);
        (void)steam::user_alive(*s.hub, other_user);
        (void)steam::drop_departed_members(*s.hub, record);
        unlink((s.root + "/lobbies/186000000abcdef").c_str());
        unlink((s.root + "/endpoints/beef").c_str());
        break;
    }
    case 4: {
        Standin &s = standin();
        if (!s.ready)
            break;
        const std::string path = s.root + "/lobbies/186000000abcdef";
        write_file(path, data, size);
        if (steam::Matchmaking *m = steam::matchmaking()) {
            m->request_lobby_list();
            m->join_lobby(fuzz_lobby);
            m->get_lobby_data(fuzz_lobby, "name");
            steam::run_callbacks();
            steam::run_callbacks();
            m->leave_lobby(fuzz_lobby);
        }
        unlink(path.c_str());
        break;
    }
    }
    return 0;
}
