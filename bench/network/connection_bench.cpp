// Reliable delivery through a lossy link on 127.0.0.1, against ENet over the same link:
// a relay thread between the two ends drops, delays and reorders datagrams from a seed.
// One end sends 200 reliable messages of 250 bytes; the run's time is the time until
// the other end has them all, and its rate is the payload over that time. At 0% and 5%
// loss. The connection keeps to its wire rules (one datagram per 0.03 s per peer, an
// 8192-byte resend ring, which the sender fills as far as `reliable_space` allows), which
// bound its throughput; ENet runs with its own defaults.
//
// Also bit packing (fields of 10, 12 and 16 bits, and whole 32-bit fields) against
// copying the same bytes with memcpy.
//
// Everything binds and sends to 127.0.0.1 only.
#include "bench/support/bench_support.h"
#include "foundation/memory/memory_globals.h"
#include "network/bit_packing.h"
#include "network/connection.h"

#include <arpa/inet.h>
#include <enet/enet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace tallow;
using namespace tallow::network;

namespace {

constexpr u32 message_count = 200;
constexpr u32 message_bytes = 250;
constexpr double time_limit_s = 60;

using Clock = std::chrono::steady_clock;

int open_loopback_socket(u16 *out_port)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        abort();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0)
        abort();
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    *out_port = ntohs(address.sin_port);
    return fd;
}

sockaddr_in loopback(u16 port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// Two sockets: the sender talks to `near`, the receiver hears from `far`. Datagrams go
// through a seeded loss and a delay of 5 ms plus up to 10 ms of jitter, which reorders.
class Relay {
  public:
    Relay(u16 receiver_port, f32 loss, u64 seed) : _receiver(loopback(receiver_port)), _loss(loss), _random(seed)
    {
        _near = open_loopback_socket(&near_port);
        _far = open_loopback_socket(&far_port);
        _thread = std::thread([this] { run(); });
    }
    ~Relay()
    {
        _stop = true;
        _thread.join();
        close(_near);
        close(_far);
    }
    u16 near_port = 0;
    u16 far_port = 0;

  private:
    struct Held {
        Clock::time_point due;
        bool to_receiver;
        std::vector<u8> bytes;
    };
    f32 random_unit()
    {
        _random = _random * 6364136223846793005ull + 1442695040888963407ull;
        return f32(_random >> 40) * (1.0f / 16777216.0f);
    }
    void take(int fd, bool to_receiver)
    {
        u8 buffer[2048];
        sockaddr_in from{};
        socklen_t length = sizeof(from);
        const ssize_t size = recvfrom(fd, buffer, sizeof(buffer), MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), &length);
        if (size < 0)
            return;
        if (to_receiver) { // the sender's address is learned from what it sends
            _sender = from;
            _have_sender = true;
        }
        if (random_unit() < _loss)
            return;
        const auto delay = std::chrono::microseconds(5000 + i64(random_unit() * 10000));
        _held.push_back({Clock::now() + delay, to_receiver, std::vector<u8>(buffer, buffer + size)});
    }
    void run()
    {
        while (!_stop) {
            pollfd fds[2] = {{_near, POLLIN, 0}, {_far, POLLIN, 0}};
            poll(fds, 2, 1);
            if (fds[0].revents & POLLIN)
                take(_near, true);
            if (fds[1].revents & POLLIN)
                take(_far, false);
            const auto now = Clock::now();
            for (size_t i = 0; i < _held.size();) {
                if (_held[i].due > now) {
                    ++i;
                    continue;
                }
                const Held &h = _held[i];
                if (h.to_receiver)
                    sendto(_far, h.bytes.data(), h.bytes.size(), 0, reinterpret_cast<const sockaddr *>(&_receiver),
                           sizeof(_receiver));
                else if (_have_sender)
                    sendto(_near, h.bytes.data(), h.bytes.size(), 0, reinterpret_cast<const sockaddr *>(&_sender),
                           sizeof(_sender));
                _held[i] = std::move(_held.back());
                _held.pop_back();
            }
        }
    }

    int _near = -1, _far = -1;
    sockaddr_in _receiver;
    sockaddr_in _sender{};
    bool _have_sender = false;
    f32 _loss;
    u64 _random;
    std::vector<Held> _held;
    std::atomic<bool> _stop{false};
    std::thread _thread;
};

// A transport with one peer at a fixed loopback address (the relay's side facing it).
class LoopbackTransport final : public ITransport {
  public:
    static constexpr u64 remote_id = 1;
    LoopbackTransport() { _fd = open_loopback_socket(&port); }
    ~LoopbackTransport() override { close(_fd); }
    void set_remote(u16 remote_port) { _remote = loopback(remote_port); }
    bool has_peer(u64 peer) override { return peer == remote_id; }
    bool send(u64, const u8 *bytes, u32 size) override
    {
        return sendto(_fd, bytes, size, 0, reinterpret_cast<const sockaddr *>(&_remote), sizeof(_remote)) == ssize_t(size);
    }
    bool receive(const u8 **out_bytes, u32 *out_size, u64 *out_peer) override
    {
        const ssize_t size = recv(_fd, _buffer, sizeof(_buffer), MSG_DONTWAIT);
        if (size < 0)
            return false;
        *out_bytes = _buffer;
        *out_size = u32(size > ssize_t(max_datagram_bytes) ? max_datagram_bytes : size);
        *out_peer = remote_id;
        return true;
    }
    u16 port = 0;

  private:
    int _fd;
    sockaddr_in _remote{};
    u8 _buffer[2048];
};

struct Receiver {
    Connection *connection;
    u32 messages = 0;
};

// Reliable messages are [1][u16 size][bytes]; control messages go back to the connection.
void on_receive(void *context, u64 peer, u32, const u8 *bytes, u32 size, f32)
{
    Receiver *receiver = *static_cast<Receiver **>(context);
    BitReader reader(bytes, size);
    while (reader.remaining_bytes() > 0) {
        const u8 type = reader.read_u8();
        if (type == 1) {
            reader.skip_bytes(reader.read_u16());
            ++receiver->messages;
        } else if (type < first_control_type || !receiver->connection->handle_control_message(peer, type, reader)) {
            return;
        }
    }
}

void connection_run(benchmark::State &state, f32 loss)
{
    for (auto _ : state) {
        LoopbackTransport sender_transport, receiver_transport;
        Relay relay(receiver_transport.port, loss, 77);
        sender_transport.set_remote(relay.near_port);
        receiver_transport.set_remote(relay.far_port);
        Connection sender(sender_transport, default_allocator()), receiver(receiver_transport, default_allocator());
        Receiver at_sender{&sender}, at_receiver{&receiver};
        const ReceiveHandler sender_handler = make_receive_handler(&on_receive, &at_sender);
        const ReceiveHandler receiver_handler = make_receive_handler(&on_receive, &at_receiver);
        std::vector<u8> message(3 + message_bytes, 0x5A);
        message[0] = 1;
        message[1] = u8(message_bytes);
        message[2] = u8(message_bytes >> 8);
        u32 sent = 0;
        const auto start = Clock::now();
        auto last = start;
        while (at_receiver.messages < message_count) {
            const auto now = Clock::now();
            const f32 dt = std::chrono::duration<f32>(now - last).count();
            last = now;
            if (std::chrono::duration<double>(now - start).count() > time_limit_s) {
                state.SkipWithError("connection run did not finish");
                break;
            }
            if (sender.is_broken(LoopbackTransport::remote_id) || receiver.is_broken(LoopbackTransport::remote_id)) {
                state.SkipWithError("a channel broke");
                break;
            }
            while (sent < message_count && message.size() <= sender.reliable_space(LoopbackTransport::remote_id)) {
                sender.send(LoopbackTransport::remote_id, 1, message.data(), u32(message.size()));
                ++sent;
            }
            for (auto [connection, handler] : {std::pair{&sender, &sender_handler}, {&receiver, &receiver_handler}}) {
                connection->update(dt);
                connection->receive(*handler);
                connection->flush();
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
    state.SetBytesProcessed(i64(state.iterations()) * message_count * message_bytes);
}

void enet_run(benchmark::State &state, f32 loss)
{
    for (auto _ : state) {
        ENetAddress receiver_address{};
        enet_address_set_host(&receiver_address, "127.0.0.1");
        receiver_address.port = 0;
        ENetHost *receiver = enet_host_create(&receiver_address, 1, 1, 0, 0);
        ENetAddress bound{};
        enet_socket_get_address(receiver->socket, &bound);
        Relay relay(bound.port, loss, 77);
        ENetHost *sender = enet_host_create(nullptr, 1, 1, 0, 0);
        ENetAddress relay_address{};
        enet_address_set_host(&relay_address, "127.0.0.1");
        relay_address.port = relay.near_port;
        const auto start = Clock::now();
        ENetPeer *peer = enet_host_connect(sender, &relay_address, 1, 0);
        std::vector<u8> message(message_bytes, 0x5A);
        bool connected = false;
        u32 received = 0;
        ENetEvent event;
        while (received < message_count) {
            if (std::chrono::duration<double>(Clock::now() - start).count() > time_limit_s) {
                state.SkipWithError("ENet run did not finish");
                break;
            }
            while (enet_host_service(sender, &event, 0) > 0)
                if (event.type == ENET_EVENT_TYPE_CONNECT && !connected) {
                    connected = true;
                    for (u32 i = 0; i < message_count; ++i)
                        enet_peer_send(peer, 0,
                                       enet_packet_create(message.data(), message.size(), ENET_PACKET_FLAG_RELIABLE));
                } else if (event.type == ENET_EVENT_TYPE_RECEIVE) {
                    enet_packet_destroy(event.packet);
                }
            while (enet_host_service(receiver, &event, 0) > 0)
                if (event.type == ENET_EVENT_TYPE_RECEIVE) {
                    ++received;
                    enet_packet_destroy(event.packet);
                }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        enet_peer_reset(peer);
        enet_host_destroy(sender);
        enet_host_destroy(receiver);
    }
    state.SetBytesProcessed(i64(state.iterations()) * message_count * message_bytes);
}

void BM_reliable_connection_0(benchmark::State &state) { connection_run(state, 0.0f); }
void BM_reliable_enet_0(benchmark::State &state) { enet_run(state, 0.0f); }
void BM_reliable_connection_5(benchmark::State &state) { connection_run(state, 0.05f); }
void BM_reliable_enet_5(benchmark::State &state) { enet_run(state, 0.05f); }
BENCHMARK(BM_reliable_connection_0)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_reliable_enet_0)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_reliable_connection_5)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_reliable_enet_5)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

// Bit packing: 4096 fields of widths 10, 12 and 16 bits (as in packet headers and
// object fields), or whole u32 fields, against memcpy of the same number of bytes.
constexpr u32 field_count = 4096;

std::vector<u32> field_values()
{
    std::vector<u32> values(field_count);
    u32 x = 1;
    for (u32 &v : values)
        v = (x = x * 1664525u + 1013904223u);
    return values;
}

constexpr u32 widths[3] = {10, 12, 16};
constexpr u32 packed_bytes = (field_count / 3 * (10 + 12 + 16) + 7) / 8 + 8;

void BM_pack_bits(benchmark::State &state)
{
    const auto values = field_values();
    std::vector<u8> out(packed_bytes + 16);
    for (auto _ : state) {
        BitWriter writer(out.data(), u32(out.size()));
        for (u32 i = 0; i < field_count; ++i)
            writer.write_bits(values[i], widths[i % 3]);
        writer.flush();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(i64(state.iterations()) * packed_bytes);
}

void BM_unpack_bits(benchmark::State &state)
{
    const auto values = field_values();
    std::vector<u8> packed(packed_bytes + 16);
    BitWriter writer(packed.data(), u32(packed.size()));
    for (u32 i = 0; i < field_count; ++i)
        writer.write_bits(values[i], widths[i % 3]);
    writer.flush();
    for (auto _ : state) {
        BitReader reader(packed.data(), writer.size_bytes());
        u32 sum = 0;
        for (u32 i = 0; i < field_count; ++i)
            sum += reader.read_bits(widths[i % 3]);
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(i64(state.iterations()) * packed_bytes);
}

void BM_memcpy_packed_size(benchmark::State &state)
{
    const auto values = field_values();
    std::vector<u8> out(packed_bytes + 16);
    for (auto _ : state) {
        memcpy(out.data(), values.data(), packed_bytes);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(i64(state.iterations()) * packed_bytes);
}

void BM_pack_u32(benchmark::State &state)
{
    const auto values = field_values();
    std::vector<u8> out(field_count * 4);
    for (auto _ : state) {
        BitWriter writer(out.data(), u32(out.size()));
        for (u32 i = 0; i < field_count; ++i)
            writer.write_u32(values[i]);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(i64(state.iterations()) * field_count * 4);
}

void BM_memcpy_u32(benchmark::State &state)
{
    const auto values = field_values();
    std::vector<u8> out(field_count * 4);
    for (auto _ : state) {
        memcpy(out.data(), values.data(), field_count * 4);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(i64(state.iterations()) * field_count * 4);
}

BENCHMARK(BM_pack_bits);
BENCHMARK(BM_unpack_bits);
BENCHMARK(BM_memcpy_packed_size);
BENCHMARK(BM_pack_u32);
BENCHMARK(BM_memcpy_u32);

} // namespace

int main(int argc, char **argv)
{
    bench::BenchProgram program(argc, argv);
    if (enet_initialize() != 0) {
        std::fprintf(stderr, "ENet did not start\n");
        return 1;
    }
    const bench::RatioReporter &runs = program.run();
    const bench::TimeRatio delivery[] = {
        {"all 200 delivered, 0% loss", "BM_reliable_connection_0",
         "BM_reliable_enet_0"},
        {"all 200 delivered, 5% loss", "BM_reliable_connection_5",
         "BM_reliable_enet_5"},
    };
    bench::print_time_ratios(runs, "Connection time / ENet time over the lossy relay (below 1: the connection is faster)",
                             delivery);
    std::printf("\nReliable throughput over the lossy relay (KB/s): connection, ENet\n");
    for (const char *loss : {"0", "5"}) {
        const double ours = runs.bytes_per_second(std::string("BM_reliable_connection_") + loss) / 1000;
        const double theirs = runs.bytes_per_second(std::string("BM_reliable_enet_") + loss) / 1000;
        if (ours > 0 && theirs > 0)
            std::printf("  %s%% loss  %8.1f  %8.1f\n", loss, ours, theirs);
    }
    const bench::TimeRatio packing[] = {
        {"pack 10/12/16-bit fields", "BM_pack_bits", "BM_memcpy_packed_size"},
        {"unpack 10/12/16-bit fields", "BM_unpack_bits", "BM_memcpy_packed_size"},
        {"write whole u32 fields", "BM_pack_u32", "BM_memcpy_u32"},
    };
    bench::print_time_ratios(runs, "Bit packing time / memcpy of the same bytes", packing);
    enet_deinitialize();
    return 0;
}
