#include "tests/support/writers/flow_graph_writer.h"

#include "foundation/strings/name_id.h"

#include <algorithm>
#include <cstring>

namespace tallow::test {

namespace {

constexpr u32 header_size = 28;

void put(std::vector<u8> &out, u32 v)
{
    u8 b[4];
    memcpy(b, &v, 4);
    out.insert(out.end(), b, b + 4);
}

void set(std::vector<u8> &out, u32 at, u32 v) { memcpy(out.data() + at, &v, 4); }

} // namespace

u32 flow_word(f32 value)
{
    u32 v;
    memcpy(&v, &value, 4);
    return v;
}

std::vector<u32> flow_list(const std::vector<u32> &targets)
{
    std::vector<u32> words{u32(targets.size())};
    words.insert(words.end(), targets.begin(), targets.end());
    return words;
}

u32 FlowGraphWriter::add_variable(u32 name_id, u32 size, const void *initial)
{
    u32 offset = u32(_defaults.size());
    _defaults.resize(offset + ((size + 3) & ~3u), 0);
    if (initial)
        memcpy(_defaults.data() + offset, initial, size);
    if (name_id)
        _variables.push_back({name_id, offset});
    return offset;
}

u32 FlowGraphWriter::add_variable(const char *name, u32 size, const void *initial)
{
    return add_variable(name && *name ? NameId32(name).value() : 0, size, initial);
}

u32 FlowGraphWriter::add_text(const std::string &text)
{
    u32 offset = header_size + u32(_data.size());
    _data.insert(_data.end(), text.begin(), text.end());
    _data.push_back(0);
    while (_data.size() % 4)
        _data.push_back(0);
    return offset;
}

u32 FlowGraphWriter::add_words(const std::vector<u32> &words)
{
    u32 offset = header_size + u32(_data.size());
    for (u32 w : words)
        put(_data, w);
    return offset;
}

u32 FlowGraphWriter::add_node(u32 type, const std::vector<u32> &data)
{
    _nodes.push_back({type, data, {}, false});
    return u32(_nodes.size() - 1);
}

void FlowGraphWriter::set_links(u32 node, const std::vector<u32> &targets)
{
    _nodes[node].links = targets;
    _nodes[node].has_links = true;
}

void FlowGraphWriter::add_event(u32 event_id, u32 target) { _events.push_back({event_id, target}); }

void FlowGraphWriter::push(std::vector<u32> &words, const std::vector<u32> &more)
{
    words.insert(words.end(), more.begin(), more.end());
}

void FlowGraphWriter::push_u64(std::vector<u32> &words, u64 value)
{
    words.push_back(u32(value));
    words.push_back(u32(value >> 32));
}

void FlowGraphWriter::push_matrix(std::vector<u32> &words, const Matrix4x4 &m)
{
    u32 w[16];
    memcpy(w, &m, 64);
    words.insert(words.end(), w, w + 16);
}

std::vector<u8> FlowGraphWriter::write(FlowLayout layout) const
{
    std::vector<Entry> events = _events, variables = _variables;
    std::stable_sort(events.begin(), events.end(), [](const Entry &a, const Entry &b) { return a.key < b.key; });
    std::stable_sort(variables.begin(), variables.end(), [](const Entry &a, const Entry &b) { return a.key < b.key; });
    std::vector<u8> out;
    for (u32 i = 0; i < 7; ++i)
        put(out, 0);
    out.insert(out.end(), _data.begin(), _data.end());
    u32 node_table = 0;
    auto write_node_table = [&] {
        node_table = u32(out.size());
        for (size_t i = 0; i < _nodes.size(); ++i)
            put(out, 0);
    };
    std::vector<u32> link_lists(_nodes.size(), 0);
    auto write_links = [&] {
        for (size_t i = 0; i < _nodes.size(); ++i) {
            if (!_nodes[i].has_links)
                continue;
            link_lists[i] = u32(out.size());
            for (u32 w : flow_list(_nodes[i].links))
                put(out, w);
        }
    };
    if (layout != FlowLayout::NodeTableLast)
        write_node_table();
    if (layout == FlowLayout::LinksBeforeNodes)
        write_links();
    u32 event_table = u32(out.size());
    for (const Entry &e : events)
        put(out, e.key), put(out, e.value);
    u32 variable_table = u32(out.size());
    for (const Entry &v : variables)
        put(out, v.key), put(out, v.value);
    std::vector<u32> node_offsets, link_fields;
    for (size_t i = 0; i < _nodes.size(); ++i) {
        node_offsets.push_back(u32(out.size()));
        put(out, _nodes[i].type);
        link_fields.push_back(u32(out.size()));
        put(out, 0);
        for (u32 w : _nodes[i].data)
            put(out, w);
    }
    if (layout != FlowLayout::LinksBeforeNodes)
        write_links();
    if (layout == FlowLayout::NodeTableLast)
        write_node_table();
    for (size_t i = 0; i < _nodes.size(); ++i) {
        set(out, node_table + 4 * u32(i), node_offsets[i]);
        set(out, link_fields[i], link_lists[i]);
    }
    u32 header[7] = {0, node_table, u32(events.size()), event_table, u32(variables.size()),
                     variable_table, u32(_defaults.size())};
    memcpy(out.data(), header, sizeof header);
    return out;
}

} // namespace tallow::test
