#pragma once
// IPv4 addresses and the thin UDP/TCP socket layer the LAN transport, lobbies and lobby
// browser use (network/lan/). Sockets are POSIX descriptors here; nothing of the system's
// socket headers leaks out of socket.cpp. The program makes no socket start-up call: a
// platform that needs one makes it in this layer before the first socket opens.
//
//   IpAddress lobby;
//   if (!IpAddress::parse("127.0.0.1:47610", lobby)) ...   // refused: logged by the caller
//   Socket socket;
//   socket.open(SocketKind::Datagram);
//   socket.set_blocking(false);
//   socket.bind({0, 0});                                  // any local address, a free port
//   socket.send_to(bytes, size, lobby);
//   IpAddress from;
//   i32 n = socket.receive_from(buffer, sizeof(buffer), &from);   // -1: nothing waiting
//
// Addresses are held in host byte order (a.b.c.d is a << 24 | b << 16 | c << 8 | d); only
// the low 16 bits of a port are used. Main thread only; sockets are never shared.

#include "foundation/types.h"

namespace tallow::platform {

/// The address of one IPv4 host in host byte order, a << 24 | b << 16 | c << 8 | d.
constexpr u32 ipv4(u32 a, u32 b, u32 c, u32 d) { return a << 24 | b << 16 | c << 8 | d; }

/// This machine's own loopback address (127.0.0.1).
constexpr u32 ipv4_loopback = ipv4(127, 0, 0, 1);
/// The limited broadcast address: every host of the local network. Only the lobby browser
/// of a real local-network game uses it, and only when no broadcast targets are set.
constexpr u32 ipv4_real_lan_broadcast = ipv4(255, 255, 255, 255);

struct IpAddress {
    u32 address = 0; // host byte order
    u32 port = 0;    // low 16 bits used

    /// Reads "a.b.c.d" or "a.b.c.d:port": decimal numbers only (a leading zero is read as
    /// decimal), octets 0 to 255, port 0 to 65535, nothing after. Missing octets are
    /// refused; a missing port is 0. False (and `out` untouched) for anything else.
    [[nodiscard]] static bool parse(const char *text, IpAddress &out);
    /// "a.b.c.d:port" into `out` (at least 22 bytes).
    void to_string(char *out, u32 capacity) const;
    /// "a.b.c.d" into `out` (at least 16 bytes).
    void address_string(char *out, u32 capacity) const;
    bool is_loopback() const { return (address >> 24) == 127; }
    bool operator==(const IpAddress &other) const { return address == other.address && (port & 0xFFFF) == (other.port & 0xFFFF); }
    bool operator!=(const IpAddress &other) const { return !(*this == other); }
};

enum class SocketKind : u32 { Stream = 0, Datagram = 1 };

/// One socket. Closed by its destructor; movable, not copyable.
class Socket {
  public:
    Socket() = default;
    ~Socket() { close(); }
    Socket(Socket &&other) noexcept : _fd(other._fd) { other._fd = -1; }
    Socket &operator=(Socket &&other) noexcept;
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    /// A stream socket (with Nagle's algorithm off) or a datagram socket; false (logged)
    /// when the system refuses. An open socket is closed first.
    bool open(SocketKind kind);
    void close();
    bool is_open() const { return _fd >= 0; }
    /// The address the socket is bound to (port 0 and address 0 when unbound or closed).
    IpAddress local_address() const;
    bool set_blocking(bool blocking);
    bool set_broadcast(bool broadcast);
    /// Binds to `address` (address 0: any local address; port 0: a free port).
    [[nodiscard]] bool bind(IpAddress address);
    /// Bytes handed to the system, or -1 (errors are not reported otherwise).
    i32 send_to(const void *bytes, u32 size, IpAddress to);
    /// One datagram, cut to `capacity`; -1 when none waits (or on an error). The source
    /// goes to `out_from` when the result is 0 or more.
    i32 receive_from(void *buffer, u32 capacity, IpAddress *out_from);

  private:
    int _fd = -1;
};

} // namespace tallow::platform
