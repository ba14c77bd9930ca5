// NetworkGame: replicated game objects. The owner sends each other peer the creation once,
// reliably, then unreliable deltas of the changed fields, and sends again whatever a lost
// datagram carried; receivers keep a copy and may blend received values in over time.
#include "network/field_codec.h"
#include "network/network_game_internal.h"

#include "foundation/log.h"

#include <cmath>
#include <cstring>

namespace tallow::network {

namespace {
const char *const log_category = "network";
constexpr f64 blend_lead_s = 0.015;
constexpr u32 no_object = 0xFFFFFFFFu;

// The number of f32 components of a field of this type that must be finite.
u32 float_components(FieldType type)
{
    switch (type) {
    case FieldType::Float: return 1;
    case FieldType::Vector3: return 3;
    case FieldType::Quaternion: return 4;
    default: return 0;
    }
}

bool value_is_finite(FieldType type, const u8 *value)
{
    for (u32 i = 0; i < float_components(type); ++i) {
        f32 component;
        memcpy(&component, value + 4 * i, 4);
        if (!std::isfinite(component))
            return false;
    }
    return true;
}

bool state_is_finite(const GameObjectType &type, const u8 *state)
{
    for (u32 f = 0; f < type.field_count; ++f)
        if (!value_is_finite(type.fields[f].field_type(), state + type.field_offset(f)))
            return false;
    return true;
}
} // namespace

void NetworkGame::count_owner(u64 owner, i32 change)
{
    for (u32 i = 0; i < _owner_counts.size(); ++i)
        if (_owner_counts[i].owner == owner) {
            _owner_counts[i].objects = u32(i32(_owner_counts[i].objects) + change);
            if (_owner_counts[i].objects == 0) {
                _owner_counts[i] = _owner_counts.back();
                _owner_counts.pop_back();
            }
            return;
        }
    if (change > 0)
        _owner_counts.push_back({owner, u32(change), false});
}

u32 NetworkGame::objects_of(u64 owner) const
{
    for (const OwnerCount &count : _owner_counts)
        if (count.owner == owner)
            return count.objects;
    return 0;
}

GameObject *NetworkGame::find_object(u32 id) const
{
    if (id >= _object_index.size() || _object_index[id] == 0)
        return nullptr;
    return _objects[_object_index[id] - 1];
}

const u8 *NetworkGame::object_state(u32 id) const
{
    const GameObject *object = find_object(id);
    return object ? object->state : nullptr;
}

const GameObjectType *NetworkGame::object_type(u32 id) const
{
    const GameObject *object = find_object(id);
    return object ? object->type : nullptr;
}

u64 NetworkGame::object_owner(u32 id) const
{
    const GameObject *object = find_object(id);
    return object ? object->owner : 0;
}

void NetworkGame::make_field_buffer(GameObject &object)
{
    if (object.targets || !object.type->has_interpolating_field())
        return;
    object.targets = static_cast<FieldTarget *>(
        _object_allocator.allocate(sizeof(FieldTarget) * max_object_fields, alignof(FieldTarget)));
    memset(static_cast<void *>(object.targets), 0, sizeof(FieldTarget) * max_object_fields);
}

GameObject *NetworkGame::make_object(u32 id, u64 owner, u32 type_index, const u8 *state)
{
    const GameObjectType *type = _config.object_type(type_index);
    auto *object = make_new<GameObject>(_object_allocator);
    object->id = id;
    object->owner = owner;
    object->type_index = type_index;
    object->type = type;
    object->state = static_cast<u8 *>(_object_allocator.allocate(type->state_size ? type->state_size : 1, 8));
    memcpy(object->state, state, type->state_size);
    if (owner != _own_id)
        make_field_buffer(*object);
    _objects.push_back(object);
    _object_index[id] = _objects.size();
    count_owner(owner, 1);
    return object;
}

void NetworkGame::free_object(u32 id)
{
    GameObject *object = find_object(id);
    if (!object)
        return;
    if (object->queued)
        for (u32 i = 0; i < _changed.size(); ++i)
            if (_changed[i] == id) {
                _changed.erase(i);
                break;
            }
    const u32 index = _object_index[id] - 1;
    _object_index[id] = 0;
    if (index + 1 != _objects.size()) {
        _objects[index] = _objects.back();
        _object_index[_objects[index]->id] = index + 1;
    }
    _objects.pop_back();
    count_owner(object->owner, -1);
    _object_allocator.deallocate(object->targets);
    _object_allocator.deallocate(object->early_state);
    _object_allocator.deallocate(object->state);
    delete_with_allocator(_object_allocator, object);
}

void NetworkGame::raise(u32 id, ObjectEvent event, u64 peer)
{
    for (ISynchronizer *synchronizer : _synchronizers)
        synchronizer->object_event(id, event);
    if (_objects_callback.function)
        _objects_callback.function(_objects_callback.user, id, event, peer);
}

void NetworkGame::drop_object(u32 id)
{
    GameObject *object = find_object(id);
    if (!object)
        return;
    const u64 owner = object->owner;
    if (owner == _own_id)
        remove_owned(id);
    // Synchronizers must let go of the object now; the script hears of it in an update.
    for (ISynchronizer *synchronizer : _synchronizers)
        synchronizer->object_event(id, ObjectEvent::Destroyed);
    if (_in_update && _objects_callback.function)
        _objects_callback.function(_objects_callback.user, id, ObjectEvent::Destroyed, owner);
    else
        _pending_destroyed.push_back({id, owner});
    free_object(id);
}

void NetworkGame::drop_objects_of(u64 peer)
{
    for (u32 i = _objects.size(); i-- > 0;)
        if (i < _objects.size() && _objects[i]->owner == peer)
            drop_object(_objects[i]->id);
}

void NetworkGame::remove_owned(u32 id)
{
    for (u32 i = 0; i < _owned.size(); ++i) {
        if (_owned[i] != id)
            continue;
        const u32 last = _owned.size() - 1;
        _owned[i] = _owned[last];
        for (NetworkPeer &peer : _peers) {
            peer.records[i] = peer.records[last];
            peer.records[last] = ReplicationRecord();
        }
        _owned.pop_back();
        return;
    }
}

u32 NetworkGame::create_object(u32 type_index, const u8 *state)
{
    const GameObjectType *type = _config.object_type(type_index);
    const i32 slot = own_slot();
    if (!type || !state || slot < 0) {
        log_message(log_category, "network game: object not created (%s)",
                    !type ? "unknown type" : !state ? "no state" : "this machine is not in the game");
        return no_object;
    }
    if (_owned.size() >= max_owned_objects) {
        log_message(log_category, "network game: object not created: %u objects owned already", max_owned_objects);
        return no_object;
    }
    // Ids are (slot << 10) + a draw of 10 bits. Every draw of a full cycle of the generator
    // is tried at most once, so a slot whose 1024 ids are all taken ends the search.
    u32 id = no_object;
    for (u32 attempt = 0; attempt < 4096; ++attempt) {
        _id_generator = _id_generator * 1664525u + 1013904223u;
        const u32 candidate = (u32(slot) << 10) + (_id_generator >> 22);
        if (!find_object(candidate)) {
            id = candidate;
            break;
        }
    }
    if (id == no_object) {
        log_message(log_category, "network game: object not created: no free id in slot %d", slot);
        return no_object;
    }
    make_object(id, _own_id, type_index, state);
    _owned.push_back(id);
    for (NetworkPeer &peer : _peers)
        peer.records[_owned.size() - 1] = ReplicationRecord();
    return id;
}

bool NetworkGame::set_object_field(u32 id, u32 field, const void *value)
{
    GameObject *object = find_object(id);
    if (!object || object->owner != _own_id || field >= object->type->field_count || !value)
        return false;
    const FieldDescriptor &descriptor = object->type->fields[field];
    if (field_changed(descriptor, object->state + object->type->field_offset(field), static_cast<const u8 *>(value))) {
        ++object->change_count;
        object->ring[object->change_count & 7] = u8(field);
    }
    return true;
}

bool NetworkGame::destroy_object(u32 id)
{
    GameObject *object = find_object(id);
    if (!object || object->owner != _own_id)
        return false;
    BitWriter writer(_message, sizeof(_message));
    writer.write_u8(u8(GameMessageType::ObjectDestroyed));
    writer.write_bits(id, 16);
    writer.flush();
    send_to_others(_message, writer.size_bytes(), 1);
    remove_owned(id);
    free_object(id);
    return true;
}

bool NetworkGame::migrate_object(u32 id, u64 new_owner)
{
    GameObject *object = find_object(id);
    if (!object)
        return false;
    if (object->owner == new_owner)
        return true;
    if ((object->owner != _own_id && _host != _own_id) || !has_peer(new_owner))
        return false;
    if (new_owner == _own_id && _owned.size() >= max_owned_objects)
        return false;
    BitWriter writer(_message, sizeof(_message));
    writer.write_u8(u8(GameMessageType::Migration));
    writer.write_bits(id, 16);
    writer.write_u64(new_owner);
    const u32 size = writer.size_bytes();
    u8 message[16];
    memcpy(message, _message, size);
    // Sent first: the migration's callback may end the game.
    send_to_others(message, size, 1);
    apply_migration(id, new_owner, _own_id);
    return true;
}

void NetworkGame::objects_owned_by(u64 peer, Array<u32> &out) const
{
    for (const GameObject *object : _objects)
        if (object->owner == peer)
            out.push_back(object->id);
}

bool NetworkGame::apply_migration(u32 id, u64 new_owner, u64)
{
    GameObject *object = find_object(id);
    const u64 previous = object->owner;
    if (previous == new_owner)
        return true;
    if (previous == _own_id) {
        remove_owned(id);
        make_field_buffer(*object);
    }
    count_owner(previous, -1);
    count_owner(new_owner, 1);
    object->owner = new_owner;
    // The new owner's datagrams count from its own sequence numbers; fields it sent before
    // this migration reached us are taken now.
    object->sequenced_fields = 0;
    if (object->early_sender == new_owner && new_owner != _own_id && object->early_fields) {
        const GameObjectType &type = *object->type;
        for (u32 f = 0; f < type.field_count; ++f) {
            if (!(object->early_fields & (1u << f)))
                continue;
            const u32 size = field_size(type.fields[f].field_type());
            const u8 *value = object->early_state + type.field_offset(f);
            if (object->targets && type.fields[f].interpolate) {
                object->targets[f].time_s = _clock_s + blend_lead_s;
                memcpy(object->targets[f].value, value, size);
                object->targets[f].active = true;
            } else {
                memcpy(object->state + type.field_offset(f), value, size);
            }
            object->field_sequence[f] = object->early_sequence[f];
        }
        object->sequenced_fields = object->early_fields;
        if (!object->queued) {
            object->queued = true;
            _changed.push_back(id);
        }
    }
    object->early_sender = 0;
    object->early_fields = 0;
    if (new_owner == _own_id) {
        _owned.push_back(id);
        for (NetworkPeer &peer : _peers) {
            ReplicationRecord &record = peer.records[_owned.size() - 1];
            record = ReplicationRecord();
            record.state = 2;
            record.all_fields = true; // every peer gets every field, whatever the change count
        }
        _object_allocator.deallocate(object->targets);
        object->targets = nullptr;
    }
    // Last: the callback may destroy the object or end the game.
    if (previous == _own_id)
        raise(id, ObjectEvent::MigratedAway, new_owner);
    else if (new_owner == _own_id)
        raise(id, ObjectEvent::MigratedToMe, previous);
    return true;
}

void NetworkGame::send_objects(f32 dt_s)
{
    for (ISynchronizer *synchronizer : _synchronizers)
        synchronizer->write(dt_s);
    for (u32 i = 0; i < _owned.size(); ++i) {
        GameObject *object = find_object(_owned[i]);
        if (!object)
            continue;
        const GameObjectType &type = *object->type;
        for (NetworkPeer &peer : _peers) {
            if (peer.id == _own_id)
                continue;
            ReplicationRecord &r = peer.records[i];
            if (r.state == 0) {
                BitWriter writer(_message, sizeof(_message));
                writer.write_u8(u8(GameMessageType::ObjectCreated));
                writer.write_bits(object->type_index, 8);
                writer.write_bits(object->id, 16);
                writer.write_bytes(object->state, type.state_size);
                const u32 sequence = _connection.send(peer.id, 1, _message, writer.size_bytes());
                r = ReplicationRecord();
                r.state = 1;
                r.creation_sequence = sequence;
                return; // one creation per update
            }
            if (r.state == 1) {
                if (!_connection.acked(peer.id, r.creation_sequence))
                    continue;
                r.state = 2;
            }
            // Resolve the updates in flight, oldest first: an acknowledged prefix moves the
            // acknowledged count on; any update lost (whatever came after it) sends again
            // everything since the acknowledged count.
            bool lost = false;
            for (u32 k = 0; k < r.in_flight_count; ++k) {
                const PacketStatus status = _connection.status(peer.id, r.in_flight[k].sequence);
                lost |= status == PacketStatus::Resent || status == PacketStatus::Expired;
            }
            u32 acked = 0;
            while (acked < r.in_flight_count &&
                   _connection.status(peer.id, r.in_flight[acked].sequence) == PacketStatus::Acknowledged)
                r.acknowledged = r.in_flight[acked++].change_count;
            if (lost) {
                r.sent = r.acknowledged;
                r.in_flight_count = 0;
            } else if (acked) {
                memmove(r.in_flight, r.in_flight + acked, sizeof(InFlightUpdate) * (r.in_flight_count - acked));
                r.in_flight_count -= acked;
            }
            if (!r.all_fields && object->change_count == r.sent)
                continue;
            if (r.in_flight_count == max_in_flight_updates)
                continue; // wait for answers before sending more
            const u32 all = (1u << type.field_count) - 1;
            u32 mask = 0;
            if (r.all_fields || object->change_count - r.sent >= 9)
                mask = all;
            else
                for (u32 k = r.sent + 1; k != object->change_count + 1; ++k)
                    mask |= 1u << object->ring[k & 7];
            BitWriter writer(_message, sizeof(_message));
            writer.write_u8(u8(GameMessageType::ObjectUpdate));
            writer.write_bits(object->id, 16);
            writer.write_bits(mask, type.field_count);
            for (u32 f = 0; f < type.field_count; ++f)
                if (mask & (1u << f))
                    write_field(writer, type.fields[f], object->state + type.field_offset(f));
            writer.flush();
            const u32 sequence = _connection.send(peer.id, 0, _message, writer.size_bytes());
            if (_connection.status(peer.id, sequence) == PacketStatus::Expired)
                continue; // the channel is gone; nothing was sent
            if (r.in_flight_count > 0 && r.in_flight[r.in_flight_count - 1].sequence == sequence)
                r.in_flight[r.in_flight_count - 1].change_count = object->change_count;
            else if (r.in_flight_count < max_in_flight_updates)
                r.in_flight[r.in_flight_count++] = {sequence, object->change_count};
            r.sent = object->change_count;
            r.all_fields = false;
        }
    }
}

bool NetworkGame::receive_object_created(u64 sender, BitReader &reader)
{
    const u32 type_index = reader.read_bits(8);
    const u32 id = reader.read_bits(16);
    reader.align();
    const GameObjectType *type = _config.object_type(type_index);
    if (reader.has_overflowed() || !type || reader.remaining_bytes() < type->state_size) {
        refuse(_stats.bad_object, "an object creation of an unknown type or cut short", sender);
        return false;
    }
    const u8 *state = reader.cursor();
    reader.skip_bytes(type->state_size);
    // The sender need not be listed here yet: the host's peer list and the creation come
    // over different channels, and a creation refused now would never be sent again.
    if (find_object(id) || sender == _own_id) {
        refuse(_stats.bad_object, "a creation of an existing object", sender);
        return true;
    }
    if (!state_is_finite(*type, state)) {
        refuse(_stats.bad_value, "an object creation with a NaN or infinite value", sender);
        return true;
    }
    if (objects_of(sender) >= _settings.max_objects_per_peer) {
        ++_stats.over_quota;
        for (OwnerCount &count : _owner_counts)
            if (count.owner == sender && !count.refused) {
                count.refused = true;
                log_message(log_category, "network game: peer %llx owns %u objects, its quota; its further "
                                          "creations are refused", static_cast<unsigned long long>(sender),
                            count.objects);
            }
        return true;
    }
    make_object(id, sender, type_index, state);
    raise(id, ObjectEvent::Created, sender);
    return true;
}

bool NetworkGame::receive_object_destroyed(u64 sender, BitReader &reader)
{
    const u32 id = reader.read_bits(16);
    reader.align();
    if (reader.has_overflowed())
        return false;
    GameObject *object = find_object(id);
    if (!object || object->owner != sender) {
        refuse(!object ? _stats.bad_object : _stats.not_from_owner, "a destruction of an object it does not own",
               sender);
        return true;
    }
    raise(id, ObjectEvent::Destroyed, sender);
    free_object(id);
    return true;
}

bool NetworkGame::receive_object_update(u64 sender, u32 sequence, f32 delay_s, BitReader &reader)
{
    const u32 id = reader.read_bits(16);
    GameObject *object = find_object(id);
    if (reader.has_overflowed() || !object) {
        // The mask's width depends on the type, so nothing after it can be read.
        refuse(_stats.bad_object, "an update of an unknown object", sender);
        return false;
    }
    const GameObjectType &type = *object->type;
    const bool foreign = object->owner != sender || sender == _own_id;
    // A listed peer's update of an object someone else owns is kept aside: it may be the
    // new owner, whose migration has not arrived yet. Anything else foreign is dropped.
    const bool early = foreign && object->owner != _own_id && sender != _own_id;
    if (early && object->early_sender != sender) {
        object->early_sender = sender;
        object->early_fields = 0;
        if (!object->early_state)
            object->early_state = static_cast<u8 *>(_object_allocator.allocate(type.state_size ? type.state_size : 1, 8));
    }
    if (foreign && !early)
        refuse(_stats.not_from_owner, "an update of an object it does not own", sender);
    const f64 target_time = _clock_s + blend_lead_s - delay_s;
    const u32 mask = reader.read_bits(type.field_count);
    bool changed = false;
    for (u32 f = 0; f < type.field_count; ++f) {
        if (!(mask & (1u << f)))
            continue;
        const FieldDescriptor &descriptor = type.fields[f];
        u8 value[16];
        if (!read_field(reader, descriptor, value))
            return false;
        if (!value_is_finite(descriptor.field_type(), value)) {
            refuse(_stats.bad_value, "an object update with a NaN or infinite value", sender);
            continue;
        }
        if (early && !((object->early_fields & (1u << f)) && sequence_before(sequence, object->early_sequence[f]))) {
            object->early_fields |= 1u << f;
            object->early_sequence[f] = sequence;
            memcpy(object->early_state + type.field_offset(f), value, field_size(descriptor.field_type()));
        }
        if (foreign)
            continue;
        // Each field keeps the sequence of the datagram its value came in, so an older
        // update arriving late loses only the fields a newer one has already set.
        if ((object->sequenced_fields & (1u << f)) && sequence_before(sequence, object->field_sequence[f])) {
            ++_stats.stale_fields;
            continue;
        }
        object->sequenced_fields |= 1u << f;
        object->field_sequence[f] = sequence;
        if (object->targets && descriptor.interpolate) {
            FieldTarget &target = object->targets[f];
            target.time_s = target_time;
            memcpy(target.value, value, field_size(descriptor.field_type()));
            target.active = true;
        } else {
            memcpy(object->state + type.field_offset(f), value, field_size(descriptor.field_type()));
        }
        changed = true;
    }
    reader.align();
    if (changed && !object->queued) {
        object->queued = true;
        _changed.push_back(id);
    }
    return !reader.has_overflowed();
}

bool NetworkGame::receive_migration(u64 sender, BitReader &reader)
{
    const u32 id = reader.read_bits(16);
    const u64 new_owner = reader.read_u64();
    if (reader.has_overflowed())
        return false;
    GameObject *object = find_object(id);
    // The new owner may not be listed here yet (its peer list may still be on the way).
    if (!object || new_owner == 0 ||
        (new_owner == _own_id && object->owner != _own_id && _owned.size() >= max_owned_objects)) {
        refuse(_stats.bad_object, "a migration of an unknown object, to no peer, or past the owned list", sender);
        return true;
    }
    if (object->owner != sender && sender != _host) {
        refuse(_stats.not_from_owner, "a migration of an object it does not own", sender);
        return true;
    }
    apply_migration(id, new_owner, sender);
    return true;
}

void NetworkGame::apply_changes(f32 dt_s)
{
    // Still-blending ids gather at the front, finished ones behind them; synchronizers get
    // both, then the list keeps the front.
    u32 blending = 0;
    Array<u32> &list = _changed;
    for (u32 i = 0; i < list.size(); ++i) {
        GameObject *object = find_object(list[i]);
        bool done = true;
        if (object && object->targets) {
            const GameObjectType &type = *object->type;
            for (u32 f = 0; f < type.field_count; ++f) {
                FieldTarget &target = object->targets[f];
                if (!target.active)
                    continue;
                const FieldDescriptor &descriptor = type.fields[f];
                if (blend_field(descriptor, object->state + type.field_offset(f), target.value, target.time_s,
                                _clock_s, dt_s))
                    target.active = false;
                else
                    done = false;
            }
        }
        if (object && done)
            object->queued = false;
        if (!done) {
            const u32 id = list[i];
            for (u32 k = i; k > blending; --k)
                list[k] = list[k - 1];
            list[blending++] = id;
        }
    }
    for (ISynchronizer *synchronizer : _synchronizers)
        synchronizer->apply(dt_s, list.data(), list.size());
    list.resize(blending);
}

bool NetworkGame::validate() const
{
    for (u32 i = 0; i < _objects.size(); ++i)
        if (_object_index[_objects[i]->id] != i + 1)
            return false;
    u32 owned = 0;
    for (const GameObject *object : _objects)
        owned += object->owner == _own_id;
    if (owned != _owned.size())
        return false;
    for (u32 id : _owned) {
        const GameObject *object = find_object(id);
        if (!object || object->owner != _own_id)
            return false;
    }
    for (u32 id : _changed) {
        const GameObject *object = find_object(id);
        if (object && !object->queued)
            return false;
    }
    u32 counted = 0;
    for (const OwnerCount &count : _owner_counts) {
        u32 objects = 0;
        for (const GameObject *object : _objects)
            objects += object->owner == count.owner;
        if (objects != count.objects)
            return false;
        counted += objects;
    }
    if (counted != _objects.size())
        return false;
    return _peers.size() <= max_game_peers;
}

} // namespace tallow::network
