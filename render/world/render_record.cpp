#include "render/world/render_record.h"

#include "foundation/log.h"

namespace tallow {

namespace {
constexpr u32 no_record = 0xFFFFFFFF;
}

RenderRecordSet::RenderRecordSet(Allocator &allocator) : _records(allocator), _nodes(allocator), _index_of_slot(allocator)
{
}

RenderRecord *RenderRecordSet::find(u32 slot)
{
    if (slot >= _index_of_slot.size() || _index_of_slot[slot] == no_record)
        return nullptr;
    return &_records[_index_of_slot[slot]];
}

bool RenderRecordSet::add(const RenderRecord &record, const RenderSceneGraph *graph, u32 node)
{
    u32 slot = record.slot;
    if (find(slot)) {
        log_message("render", "object slot %u already has a record in this set", slot);
        return false;
    }
    if (slot >= _index_of_slot.size()) {
        u32 old = _index_of_slot.size();
        _index_of_slot.resize(slot + 1);
        if (_index_of_slot.size() != slot + 1)
            return false;
        for (u32 i = old; i <= slot; ++i)
            _index_of_slot[i] = no_record;
    }
    if (!_records.push_back(record))
        return false;
    if (!_nodes.push_back({graph, node})) {
        _records.pop_back();
        return false;
    }
    _index_of_slot[slot] = _records.size() - 1;
    return true;
}

bool RenderRecordSet::remove(u32 slot)
{
    if (!find(slot))
        return false;
    u32 index = _index_of_slot[slot];
    u32 last = _records.size() - 1;
    if (index != last) {
        _records[index] = _records[last];
        _nodes[index] = _nodes[last];
        _index_of_slot[_records[index].slot] = index;
    }
    _records.pop_back();
    _nodes.pop_back();
    _index_of_slot[slot] = no_record;
    return true;
}

bool RenderRecordSet::set_visible(u32 slot, bool visible)
{
    RenderRecord *record = find(slot);
    if (!record)
        return false;
    record->kind = visible ? record->kind | render_record_visible : record->kind & ~render_record_visible;
    return true;
}

bool RenderRecordSet::validate() const
{
    if (_records.size() != _nodes.size())
        return false;
    u32 mapped = 0;
    for (u32 slot = 0; slot < _index_of_slot.size(); ++slot) {
        u32 index = _index_of_slot[slot];
        if (index == no_record)
            continue;
        if (index >= _records.size() || _records[index].slot != slot)
            return false;
        ++mapped;
    }
    return mapped == _records.size();
}

} // namespace tallow
