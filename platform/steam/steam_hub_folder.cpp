// Lobby storage (in memory, or one file per lobby under the folder hub's root), the folder
// hub's endpoints and loopback datagrams, and its remote-storage files.
#include "platform/steam/steam_hub_internal.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tallow::steam {

namespace {

std::string hex(u64 v)
{
    char text[24];
    snprintf(text, sizeof(text), "%" PRIx64, v);
    return text;
}

bool read_whole(const std::string &path, std::vector<u8> *out, u64 limit)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    out->clear();
    u8 chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0) {
        out->insert(out->end(), chunk, chunk + n);
        if (out->size() > limit) {
            fclose(f);
            return false;
        }
    }
    fclose(f);
    return true;
}

bool write_atomically(const std::string &path, const void *data, u64 size)
{
    const std::string temporary = path + ".tmp" + std::to_string(getpid());
    FILE *f = fopen(temporary.c_str(), "wb");
    if (!f)
        return false;
    const bool written = (size == 0 || fwrite(data, 1, size, f) == size) && fflush(f) == 0;
    fclose(f);
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

/// Keeps [A-Za-z0-9_-] and inner dots; everything else becomes %XX, so no name leaves the
/// user's folder.
std::string escape_name(const char *name)
{
    std::string out;
    for (const char *p = name; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                           c == '-' || (c == '.' && p != name);
        if (plain) {
            out += char(c);
        } else {
            char code[4];
            snprintf(code, sizeof(code), "%%%02X", c);
            out += code;
        }
    }
    return out.empty() ? "%00" : out;
}

std::string remote_path(HubState &hub, u64 user, const char *name)
{
    return hub.root + "/users/" + hex(user) + "/remote/" + escape_name(name);
}

void make_folders(const std::string &path)
{
    for (size_t i = 1; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/')
            mkdir(path.substr(0, i).c_str(), 0755);
}

bool pid_alive(long pid) { return pid > 0 && (kill(pid_t(pid), 0) == 0 || errno == EPERM); }

} // namespace

FolderLock::FolderLock(HubState &hub) : _hub(hub)
{
    if (hub.folder && hub.lock_fd >= 0)
        flock(hub.lock_fd, LOCK_EX);
}

FolderLock::~FolderLock()
{
    if (_hub.folder && _hub.lock_fd >= 0)
        flock(_hub.lock_fd, LOCK_UN);
}

// Lobby text: one field per line, "key value"; data lines "data <hex key> <hex value>".
std::string write_lobby_text(const LobbyRecord &r)
{
    std::string out;
    auto line = [&](const char *key, u64 value) { out += std::string(key) + " " + hex(value) + "\n"; };
    line("id", r.id);
    line("app", r.app);
    line("type", r.type);
    line("max", r.max_members);
    line("owner", r.owner);
    line("server", r.server);
    line("version", r.version);
    for (u64 m : r.members)
        line("member", m);
    auto text_hex = [](const std::string &s) {
        std::string h;
        char b[3];
        for (unsigned char c : s) {
            snprintf(b, sizeof(b), "%02x", c);
            h += b;
        }
        return h.empty() ? std::string("-") : h;
    };
    for (auto &[k, v] : r.data)
        out += "data " + text_hex(k) + " " + text_hex(v) + "\n";
    return out;
}

bool read_lobby_text(const char *text, u64 size, LobbyRecord *out)
{
    *out = LobbyRecord{};
    u64 at = 0;
    auto word = [&](std::string *w) {
        while (at < size && (text[at] == ' ' || text[at] == '\n'))
            ++at;
        w->clear();
        while (at < size && text[at] != ' ' && text[at] != '\n' && w->size() < 2048)
            *w += text[at++];
        return !w->empty();
    };
    auto number = [](const std::string &w, u64 *v) {
        if (w.empty() || w.size() > 16)
            return false;
        *v = 0;
        for (char c : w) {
            const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (d < 0)
                return false;
            *v = *v << 4 | u64(d);
        }
        return true;
    };
    auto unhex = [](const std::string &w, std::string *s) {
        s->clear();
        if (w == "-")
            return true;
        if (w.size() % 2)
            return false;
        for (size_t i = 0; i < w.size(); i += 2) {
            char b[3] = {w[i], w[i + 1], 0};
            char *end = nullptr;
            const long c = strtol(b, &end, 16);
            if (end != b + 2)
                return false;
            *s += char(c);
        }
        return true;
    };
    std::string key, value, second;
    while (word(&key)) {
        if (!word(&value))
            return false;
        if (key == "data") {
            std::string k, v;
            if (!word(&second) || !unhex(value, &k) || !unhex(second, &v) || out->data.size() >= 256)
                return false;
            out->data.emplace_back(k, v);
            continue;
        }
        u64 v;
        if (!number(value, &v))
            return false;
        if (key == "id") out->id = v;
        else if (key == "app") out->app = u32(v);
        else if (key == "type") out->type = u32(v);
        else if (key == "max") out->max_members = u32(v);
        else if (key == "owner") out->owner = v;
        else if (key == "server") out->server = v;
        else if (key == "version") out->version = u32(v);
        else if (key == "member") {
            if (out->members.size() >= 256)
                return false;
            out->members.push_back(v);
        } else
            return false;
    }
    return out->id != 0;
}

bool load_lobby(HubState &hub, u64 id, LobbyRecord *out)
{
    if (!hub.folder) {
        auto it = hub.lobbies.find(id);
        if (it == hub.lobbies.end())
            return false;
        *out = it->second;
        return true;
    }
    std::vector<u8> bytes;
    if (!read_whole(hub.root + "/lobbies/" + hex(id), &bytes, 1 << 20))
        return false;
    return read_lobby_text(reinterpret_cast<const char *>(bytes.data()), bytes.size(), out) && out->id == id;
}

void store_lobby(HubState &hub, LobbyRecord &record)
{
    record.version++;
    if (!hub.folder) {
        hub.lobbies[record.id] = record;
        return;
    }
    const std::string text = write_lobby_text(record);
    write_atomically(hub.root + "/lobbies/" + hex(record.id), text.data(), text.size());
}

void erase_lobby(HubState &hub, u64 id)
{
    if (!hub.folder) {
        hub.lobbies.erase(id);
        return;
    }
    unlink((hub.root + "/lobbies/" + hex(id)).c_str());
}

std::vector<u64> list_lobbies(HubState &hub)
{
    std::vector<u64> ids;
    if (!hub.folder) {
        for (auto &[id, r] : hub.lobbies)
            ids.push_back(id);
        return ids;
    }
    DIR *dir = opendir((hub.root + "/lobbies").c_str());
    if (!dir)
        return ids;
    while (dirent *e = readdir(dir)) {
        char *end = nullptr;
        const u64 id = strtoull(e->d_name, &end, 16);
        if (id != 0 && end && *end == 0)
            ids.push_back(id);
    }
    closedir(dir);
    return ids;
}

bool user_alive(HubState &hub, u64 user)
{
    if (!hub.folder)
        return true;
    std::vector<u8> line;
    if (!read_whole(hub.root + "/endpoints/" + hex(user), &line, 1024))
        return false;
    line.push_back(0);
    long port = 0, pid = 0;
    return sscanf(reinterpret_cast<const char *>(line.data()), "%ld %ld", &port, &pid) == 2 && pid_alive(pid);
}

bool drop_departed_members(HubState &hub, LobbyRecord &record)
{
    if (!hub.folder)
        return true;
    const size_t before = record.members.size();
    std::erase_if(record.members, [&](u64 member) { return !user_alive(hub, member); });
    if (record.members.size() == before)
        return true;
    if (record.members.empty()) {
        erase_lobby(hub, record.id);
        return false;
    }
    if (std::find(record.members.begin(), record.members.end(), record.owner) == record.members.end())
        record.owner = record.members[0];
    store_lobby(hub, record);
    return true;
}

u64 folder_new_lobby_id(HubState &hub)
{
    return 0x0186000000000000ull | (u64(getpid() & 0xFFFFFF) << 16) | (hub.next_lobby++ & 0xFFFF);
}

HubState *open_folder_hub(const char *root, u64 user, const char *name)
{
    auto *hub = new HubState;
    hub->folder = true;
    hub->root = root;
    make_folders(hub->root + "/lobbies");
    make_folders(hub->root + "/endpoints");
    make_folders(hub->root + "/users/" + hex(user) + "/remote");
    hub->lock_fd = open((hub->root + "/hub.lock").c_str(), O_RDWR | O_CREAT, 0644);
    if (hub->lock_fd < 0) {
        delete hub;
        return nullptr;
    }
    std::vector<u8> config;
    if (read_whole(hub->root + "/app.cfg", &config, 1 << 16)) {
        std::string text(config.begin(), config.end());
        size_t at = 0;
        while (at < text.size()) {
            size_t end = text.find('\n', at);
            if (end == std::string::npos)
                end = text.size();
            const std::string line = text.substr(at, end - at);
            at = end + 1;
            const size_t space = line.find(' ');
            if (space == std::string::npos)
                continue;
            const std::string key = line.substr(0, space), value = line.substr(space + 1);
            if (key == "app_id")
                hub->app_id = u32(strtoul(value.c_str(), nullptr, 10));
            else if (key == "language")
                hub->language = value;
            else if (key == "cloud")
                hub->cloud = value == "1";
        }
    }
    UserData &u = hub->users[user];
    u.persona = name && *name ? name : "user " + hex(user);
    return hub;
}

bool folder_open_endpoint(HubState &hub, Context &c)
{
    c.socket = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c.socket < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    if (bind(c.socket, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
        getsockname(c.socket, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        close(c.socket);
        c.socket = -1;
        return false;
    }
    const std::string line = std::to_string(ntohs(address.sin_port)) + " " + std::to_string(getpid()) + " " +
                             hub.users[c.user].persona + "\n";
    FolderLock lock(hub);
    return write_atomically(hub.root + "/endpoints/" + hex(c.user), line.data(), line.size());
}

void folder_close_endpoint(HubState &hub, Context &c)
{
    if (c.socket >= 0)
        close(c.socket);
    c.socket = -1;
    FolderLock lock(hub);
    unlink((hub.root + "/endpoints/" + hex(c.user)).c_str());
}

bool folder_send(HubState &hub, Context &from, u64 to, u32 channel, const void *data, u32 size)
{
    if (from.socket < 0)
        return false;
    std::vector<u8> line;
    if (!read_whole(hub.root + "/endpoints/" + hex(to), &line, 1024))
        return false;
    line.push_back(0);
    long port = 0, pid = 0;
    if (sscanf(reinterpret_cast<const char *>(line.data()), "%ld %ld", &port, &pid) != 2 || port <= 0 ||
        port > 65535 || !pid_alive(pid))
        return false;
    u8 datagram[9 + max_p2p_bytes];
    memcpy(datagram, &from.user, 8); // little-endian on every machine this runs on
    datagram[8] = u8(channel);
    if (size)
        memcpy(datagram + 9, data, size);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK); // never anywhere but this machine
    address.sin_port = htons(u16(port));
    return sendto(from.socket, datagram, 9 + size, 0, reinterpret_cast<sockaddr *>(&address), sizeof(address)) ==
           ssize_t(9 + size);
}

void folder_receive(HubState &, Context &c, void (*arrive)(Context &, u64, u32, const u8 *, u32))
{
    if (c.socket < 0)
        return;
    u8 datagram[9 + max_p2p_bytes + 1];
    for (u32 i = 0; i < 4096; ++i) {
        sockaddr_in from{};
        socklen_t length = sizeof(from);
        const ssize_t n = recvfrom(c.socket, datagram, sizeof(datagram), 0, reinterpret_cast<sockaddr *>(&from), &length);
        if (n < 0)
            return;
        if (n < 9 || n > ssize_t(9 + max_p2p_bytes) || (ntohl(from.sin_addr.s_addr) >> 24) != 127)
            continue; // too short, too long, or not from this machine
        u64 sender;
        memcpy(&sender, datagram, 8);
        arrive(c, sender, datagram[8], datagram + 9, u32(n - 9));
    }
}

bool folder_read_file(HubState &hub, u64 user, const char *name, std::vector<u8> *out)
{
    return read_whole(remote_path(hub, user, name), out, hub.cloud_quota);
}

bool folder_write_file(HubState &hub, u64 user, const char *name, const void *data, u32 size)
{
    make_folders(hub.root + "/users/" + hex(user) + "/remote");
    return write_atomically(remote_path(hub, user, name), data, size);
}

bool folder_file_exists(HubState &hub, u64 user, const char *name)
{
    struct stat s;
    return stat(remote_path(hub, user, name).c_str(), &s) == 0 && S_ISREG(s.st_mode);
}

} // namespace tallow::steam
