// NetworkGame: peers, slots, the host, game messages, leave requests, timeout reports and
// the dispatcher. Replicated objects are in network_game_objects.cpp.
#include "network/network_game_internal.h"

#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"

#include <cstring>
#include <ctime>

namespace tallow::network {

namespace {

const char *const log_category = "network";
constexpr f64 report_interval_s = 5.0;

f64 monotonic_now_s(void *)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return f64(now.tv_sec) + f64(now.tv_nsec) * 1e-9;
}

struct DispatchContext {
    NetworkGame *game;
};

} // namespace

NetworkGame::NetworkGame(IConnection &connection, const NetworkGameConfig &config, u64 own_peer_id, Allocator &parent,
                         const NetworkGameSettings &settings)
    : _allocator("network_game", parent),
      _object_allocator("network_game_objects", parent),
      _connection(connection),
      _config(config),
      _own_id(own_peer_id),
      _settings(settings),
      _peers(_allocator),
      _objects(_allocator),
      _object_index(_allocator),
      _changed(_allocator),
      _owned(_allocator),
      _reports(_allocator),
      _pending_destroyed(_allocator),
      _owner_counts(_allocator),
      _id_generator(settings.object_id_seed),
      _synchronizers(_allocator)
{
    if (!_settings.clock.now_s)
        _settings.clock.now_s = monotonic_now_s;
    _last_update_s = now_s();
    _object_index.resize(65536);
    memset(_object_index.data(), 0, _object_index.size() * sizeof(u32));
    _owned.reserve(max_owned_objects);
    _peers.reserve(max_game_peers);
    _reports.reserve(max_timeout_reports);
    if (_settings.create_synchronizer) {
        _default_synchronizer = _settings.create_synchronizer(*this, _config);
        if (_default_synchronizer)
            _synchronizers.push_back(_default_synchronizer);
    }
}

NetworkGame::~NetworkGame()
{
    clear_game();
    delete_with_default_allocator(_default_synchronizer);
}

f64 NetworkGame::now_s() const { return _settings.clock.now_s(_settings.clock.user); }

i32 NetworkGame::find_peer(u64 peer) const
{
    for (u32 i = 0; i < _peers.size(); ++i)
        if (_peers[i].id == peer)
            return i32(i);
    return -1;
}

i32 NetworkGame::own_slot() const
{
    const i32 index = find_peer(_own_id);
    return index < 0 ? -1 : i32(_peers[u32(index)].slot);
}

u64 NetworkGame::peer_id(u32 index) const { return index < _peers.size() ? _peers[index].id : 0; }

void NetworkGame::refuse(u64 &counter, const char *what, u64 sender)
{
    ++counter;
    // One line per kind of refusal; the counters keep the rest.
    const u32 kind = 1u << (u32(&counter - &_stats.malformed) & 31);
    if (!(_logged_kinds & kind)) {
        _logged_kinds |= kind;
        log_message(log_category, "network game: refused %s from peer %llx (further ones are only counted)", what,
                    static_cast<unsigned long long>(sender));
    }
}

ReplicationRecord *NetworkGame::new_records()
{
    auto *records = static_cast<ReplicationRecord *>(
        _object_allocator.allocate(sizeof(ReplicationRecord) * max_owned_objects, alignof(ReplicationRecord)));
    for (u32 i = 0; i < max_owned_objects; ++i)
        new (records + i) ReplicationRecord();
    return records;
}

void NetworkGame::send_to_others(const u8 *bytes, u32 size, u32 reliable)
{
    for (const NetworkPeer &peer : _peers)
        if (peer.id != _own_id)
            _connection.send(peer.id, reliable, bytes, size);
}

bool NetworkGame::set_host()
{
    if (_host == _own_id && has_peer(_own_id))
        return false;
    if (_host != 0 && _host != _own_id && !_connection.is_broken(_host))
        return false;
    const i32 own = find_peer(_own_id);
    if (own >= 0) {
        // Taking over from a host whose connection broke: this machine moves to the front
        // and keeps its slot, so the ids of its objects stay valid.
        NetworkPeer moved = _peers[u32(own)];
        _peers.erase(u32(own));
        _peers.insert(0, moved);
    } else {
        NetworkPeer peer;
        peer.id = _own_id;
        peer.slot = 0;
        peer.records = new_records();
        _peers.insert(0, peer);
    }
    _host = _own_id;
    if (own >= 0)
        send_peer_list(); // the others learn the new host before anything it sends as host
    return true;
}

void NetworkGame::leave()
{
    const u8 closed = u8(GameMessageType::Closed);
    send_to_others(&closed, 1, 1);
    clear_game();
}

bool NetworkGame::add_peer(u64 peer)
{
    if (_host != _own_id || peer == _own_id || peer == 0 || has_peer(peer))
        return false;
    if (_peers.size() >= max_game_peers) {
        log_message(log_category, "network game: peer list full (%u peers); %llx not added", max_game_peers,
                    static_cast<unsigned long long>(peer));
        return false;
    }
    u32 slot = 0;
    for (bool used = true; used; ++slot) {
        used = false;
        for (const NetworkPeer &p : _peers)
            used |= p.slot == slot;
        if (!used)
            break;
    }
    NetworkPeer added;
    added.id = peer;
    added.slot = slot;
    added.records = new_records();
    _peers.push_back(added);
    send_peer_list();
    return true;
}

void NetworkGame::erase_peer(u32 index)
{
    const u64 id = _peers[index].id;
    _object_allocator.deallocate(_peers[index].records);
    _peers.erase(index);
    drop_objects_of(id);
    for (u32 i = _reports.size(); i-- > 0;)
        if (_reports[i].reporter == id || _reports[i].silent == id)
            _reports.erase(i);
}

bool NetworkGame::remove_peer(u64 peer)
{
    const i32 index = find_peer(peer);
    if (_host != _own_id || index < 0 || peer == _own_id)
        return false;
    erase_peer(u32(index));
    const u8 removed = u8(GameMessageType::Removed);
    _connection.send(peer, 1, &removed, 1);
    send_peer_list();
    return true;
}

void NetworkGame::request_leave()
{
    if (_host == 0 || _host == _own_id)
        return;
    const u8 request = u8(GameMessageType::LeaveRequest);
    _connection.send(_host, 1, &request, 1);
}

void NetworkGame::send_peer_list()
{
    BitWriter writer(_message, sizeof(_message));
    writer.write_u8(u8(GameMessageType::PeerList));
    writer.write_u8(u8(_peers.size()));
    for (const NetworkPeer &peer : _peers) {
        writer.write_u64(peer.id);
        writer.write_u8(u8(peer.slot));
    }
    send_to_others(_message, writer.size_bytes(), 1);
}

void NetworkGame::clear_game()
{
    while (!_objects.empty())
        drop_object(_objects.back()->id);
    for (NetworkPeer &peer : _peers)
        _object_allocator.deallocate(peer.records);
    _peers.clear();
    _host = 0;
    _owned.clear();
    _reports.clear();
    _changed.clear();
}

u32 NetworkGame::leave_requests(u64 *out, u32 max) const
{
    u32 count = 0;
    for (const NetworkPeer &peer : _peers)
        if (peer.wants_to_leave && count < max)
            out[count++] = peer.id;
    return count;
}

u32 NetworkGame::broken_connections(u64 *out, u32 max)
{
    u32 count = 0;
    for (const NetworkPeer &peer : _peers)
        if (peer.id != _own_id && count < max && _connection.is_broken(peer.id))
            out[count++] = peer.id;
    if (count < max && !_reports.empty() && _clock_s - _reports[0].time_s >= report_interval_s) {
        const u64 a = _reports[0].reporter, b = _reports[0].silent;
        f64 score_a = 0, score_b = 0;
        for (const TimeoutReport &report : _reports) {
            score_a += (report.reporter == a ? 1.1 : 0) + (report.silent == a ? 1.0 : 0);
            score_b += (report.reporter == b ? 1.1 : 0) + (report.silent == b ? 1.0 : 0);
        }
        out[count++] = score_a >= score_b ? a : b;
    }
    return count;
}

u32 NetworkGame::silent_peers(u64 *out, u32 max, f32 seconds)
{
    u32 count = 0;
    for (const NetworkPeer &peer : _peers)
        if (peer.id != _own_id && count < max &&
            (_connection.is_broken(peer.id) || _connection.silence_s(peer.id) >= seconds))
            out[count++] = peer.id;
    return count;
}

bool NetworkGame::send_game_message(u64 peer, const void *bytes, u32 size, u32 *out_sequence)
{
    if (size > max_game_message_bytes || (size > 0 && !bytes)) {
        log_message(log_category, "network game: game message of %u bytes not sent (at most %u)", size,
                    max_game_message_bytes);
        return false;
    }
    if (!_connection.is_broken(peer) && peer != _own_id) {
        _message[0] = u8(GameMessageType::Game);
        if (size)
            memcpy(_message + 1, bytes, size);
        const u32 sequence = _connection.send(peer, 1, _message, size + 1);
        // 0 is also a first sequence; the channel says whether the send was taken.
        if (_connection.status(peer, sequence) != PacketStatus::Expired) {
            if (out_sequence)
                *out_sequence = sequence;
            return true;
        }
    }
    return false;
}

void NetworkGame::send_timeout_reports()
{
    for (NetworkPeer &peer : _peers) {
        if (peer.id == _own_id || peer.id == _host || !_connection.is_broken(peer.id))
            continue;
        if (_clock_s - peer.last_report_s <= report_interval_s)
            continue;
        peer.last_report_s = _clock_s;
        u8 report[9];
        report[0] = u8(GameMessageType::TimeoutReport);
        for (u32 i = 0; i < 8; ++i)
            report[1 + i] = u8(peer.id >> (8 * i));
        _connection.send(_host, 1, report, sizeof(report));
    }
}

void NetworkGame::update(const GameMessageCallback &messages, const ObjectEventCallback &objects)
{
    _messages = messages;
    _objects_callback = objects;
    _in_update = true;
    for (const PendingEvent &event : _pending_destroyed)
        if (_objects_callback.function)
            _objects_callback.function(_objects_callback.user, event.id, ObjectEvent::Destroyed, event.peer);
    _pending_destroyed.clear();

    const f64 now = now_s();
    f32 dt = f32(now - _last_update_s);
    if (!(dt >= 0))
        dt = 0;
    _last_update_s = now;
    _clock_s += dt;

    send_objects(dt);
    _connection.update(dt);
    _connection.receive(make_receive_handler(on_receive, DispatchContext{this}));
    _connection.flush();
    apply_changes(dt);
    if (_host != 0 && _host != _own_id)
        send_timeout_reports();
    _in_update = false;
}

void NetworkGame::on_receive(void *context, u64 peer, u32 sequence, const u8 *bytes, u32 size, f32 delay_s)
{
    static_cast<DispatchContext *>(context)->game->receive_delivery(peer, sequence, bytes, size, delay_s);
}

void NetworkGame::receive_delivery(u64 sender, u32 sequence, const u8 *bytes, u32 size, f32 delay_s)
{
    BitReader reader(bytes, size);
    while (reader.remaining_bytes() > 0 && !reader.has_overflowed()) {
        const u8 type = reader.read_u8();
        bool go_on = true;
        switch (type) {
        case u8(GameMessageType::Game): {
            if (!_messages.function)
                return; // no receiver: its length is unknown, so nothing after it can be read
            const u8 *start = reader.cursor();
            const u32 remaining = reader.remaining_bytes();
            const u8 *next = _messages.function(_messages.user, sender, start, remaining);
            if (!next)
                return;
            if (next < start || next > start + remaining) {
                refuse(_stats.malformed, "a game message whose receiver pointed outside it", sender);
                return;
            }
            go_on = reader.skip_bytes(u32(next - start));
            break;
        }
        case u8(GameMessageType::PeerList):
            go_on = receive_peer_list(sender, reader);
            break;
        case u8(GameMessageType::Removed):
        case u8(GameMessageType::Closed):
            if (sender != _host || _host == 0) {
                refuse(_stats.not_from_host, "a removal or closing", sender);
                break;
            }
            clear_game();
            break;
        case u8(GameMessageType::LeaveRequest): {
            const i32 index = find_peer(sender);
            if (index >= 0)
                _peers[u32(index)].wants_to_leave = true;
            break;
        }
        case u8(GameMessageType::ObjectCreated):
            go_on = receive_object_created(sender, reader);
            break;
        case u8(GameMessageType::ObjectDestroyed):
            go_on = receive_object_destroyed(sender, reader);
            break;
        case u8(GameMessageType::ObjectUpdate):
            go_on = receive_object_update(sender, sequence, delay_s, reader);
            break;
        case u8(GameMessageType::Migration):
            go_on = receive_migration(sender, reader);
            break;
        case u8(GameMessageType::TimeoutReport): {
            const u64 silent = reader.read_u64();
            if (reader.has_overflowed())
                break;
            bool known = false;
            for (const TimeoutReport &report : _reports)
                known |= report.reporter == sender && report.silent == silent;
            if (!known && has_peer(sender) && has_peer(silent) && _reports.size() < max_timeout_reports)
                _reports.push_back({sender, silent, _clock_s});
            break;
        }
        default:
            if (type >= first_control_type) {
                go_on = _connection.handle_control_message(sender, type, reader);
                break;
            }
            refuse(_stats.malformed, "an unknown message type", sender);
            return;
        }
        if (!go_on || reader.has_overflowed())
            return;
    }
}

bool NetworkGame::receive_peer_list(u64 sender, BitReader &reader)
{
    const u32 count = reader.read_u8();
    if (reader.has_overflowed() || reader.remaining_bytes() < count * 9) {
        refuse(_stats.bad_peer_list, "a peer list longer than its message", sender);
        return false;
    }
    u64 ids[255];
    u32 slots[255];
    bool valid = count <= max_game_peers;
    for (u32 i = 0; i < count; ++i) {
        ids[i] = reader.read_u64();
        slots[i] = reader.read_u8();
        valid &= ids[i] != 0 && slots[i] < max_game_peers;
        for (u32 j = 0; j < i; ++j)
            valid &= ids[j] != ids[i] && slots[j] != slots[i];
    }
    if (!valid) {
        refuse(_stats.bad_peer_list, "a peer list with repeated ids or slots, or over 64 peers", sender);
        return true; // the message was read whole; the rest of the delivery stands
    }
    const bool from_host = _host != 0 && sender == _host;
    const bool first_list = _host == 0 && count > 0 && ids[0] == sender;
    const bool takeover = _host != 0 && sender != _host && count > 0 && ids[0] == sender && has_peer(sender) &&
                          _connection.is_broken(_host);
    if (!from_host && !first_list && !takeover) {
        refuse(_stats.not_from_host, "a peer list", sender);
        return true;
    }
    for (u32 i = 0; i < count; ++i) {
        const i32 index = find_peer(ids[i]);
        if (index >= 0) {
            NetworkPeer moved = _peers[u32(index)];
            moved.slot = slots[i];
            _peers.erase(u32(index));
            _peers.insert(i, moved);
        } else {
            NetworkPeer added;
            added.id = ids[i];
            added.slot = slots[i];
            added.records = new_records();
            _peers.insert(i, added);
        }
    }
    while (_peers.size() > count)
        erase_peer(_peers.size() - 1);
    _host = count > 0 ? _peers[0].id : 0;
    return true;
}

} // namespace tallow::network
