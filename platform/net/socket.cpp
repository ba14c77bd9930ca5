#include "platform/net/socket.h"

#include "foundation/log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tallow::platform {

namespace {

const char *const log_category = "network";

// Reads a decimal number of at most `max_digits` digits no larger than `max`; advances `p`.
bool read_decimal(const char *&p, u32 max, u32 &out)
{
    if (*p < '0' || *p > '9')
        return false;
    u32 value = 0;
    u32 digits = 0;
    while (*p >= '0' && *p <= '9') {
        if (++digits > 5)
            return false;
        value = value * 10 + u32(*p - '0');
        ++p;
    }
    if (value > max)
        return false;
    out = value;
    return true;
}

sockaddr_in to_sockaddr(IpAddress address)
{
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_addr.s_addr = htonl(address.address);
    out.sin_port = htons(u16(address.port));
    return out;
}

} // namespace

bool IpAddress::parse(const char *text, IpAddress &out)
{
    if (!text)
        return false;
    const char *p = text;
    u32 octets[4];
    for (u32 i = 0; i < 4; ++i) {
        if (!read_decimal(p, 255, octets[i]))
            return false;
        if (i < 3 && *p++ != '.')
            return false;
    }
    u32 port = 0;
    if (*p == ':') {
        ++p;
        if (!read_decimal(p, 65535, port))
            return false;
    }
    if (*p != 0)
        return false;
    out.address = ipv4(octets[0], octets[1], octets[2], octets[3]);
    out.port = port;
    return true;
}

void IpAddress::to_string(char *out, u32 capacity) const
{
    snprintf(out, capacity, "%u.%u.%u.%u:%u", address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
             address & 0xFF, port & 0xFFFF);
}

void IpAddress::address_string(char *out, u32 capacity) const
{
    snprintf(out, capacity, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
             address & 0xFF);
}

Socket &Socket::operator=(Socket &&other) noexcept
{
    if (this != &other) {
        close();
        _fd = other._fd;
        other._fd = -1;
    }
    return *this;
}

bool Socket::open(SocketKind kind)
{
    close();
    _fd = ::socket(AF_INET, kind == SocketKind::Stream ? SOCK_STREAM : SOCK_DGRAM, 0);
    if (_fd < 0) {
        log_message(log_category, "socket not opened: %s", strerror(errno));
        return false;
    }
    if (kind == SocketKind::Stream) {
        int on = 1;
        setsockopt(_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    }
    return true;
}

void Socket::close()
{
    if (_fd >= 0)
        ::close(_fd);
    _fd = -1;
}

IpAddress Socket::local_address() const
{
    if (_fd < 0)
        return {};
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    if (getsockname(_fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return {};
    return {ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

bool Socket::set_blocking(bool blocking)
{
    if (_fd < 0)
        return false;
    const int flags = fcntl(_fd, F_GETFL, 0);
    if (flags < 0)
        return false;
    return fcntl(_fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

bool Socket::set_broadcast(bool broadcast)
{
    if (_fd < 0)
        return false;
    int value = broadcast ? 1 : 0;
    return setsockopt(_fd, SOL_SOCKET, SO_BROADCAST, &value, sizeof(value)) == 0;
}

bool Socket::bind(IpAddress address)
{
    if (_fd < 0)
        return false;
    const sockaddr_in in = to_sockaddr(address);
    return ::bind(_fd, reinterpret_cast<const sockaddr *>(&in), sizeof(in)) >= 0;
}

i32 Socket::send_to(const void *bytes, u32 size, IpAddress to)
{
    if (_fd < 0)
        return -1;
    const sockaddr_in in = to_sockaddr(to);
    return i32(sendto(_fd, bytes, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&in), sizeof(in)));
}

i32 Socket::receive_from(void *buffer, u32 capacity, IpAddress *out_from)
{
    if (_fd < 0)
        return -1;
    sockaddr_in from{};
    socklen_t length = sizeof(from);
    const ssize_t n = recvfrom(_fd, buffer, capacity, 0, reinterpret_cast<sockaddr *>(&from), &length);
    if (n < 0)
        return -1;
    if (out_from)
        *out_from = {ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
    return i32(n);
}

} // namespace tallow::platform
