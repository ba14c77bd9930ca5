#include "world/flow/flow_graph.h"

#include "foundation/log.h"

#include <algorithm>
#include <cstring>

namespace tallow {

namespace {

// Data words of each node type, one character per field: w word, m 16-word matrix,
// t text, T text or 0, f/n/p/q/C/H a variable of 4/8/12/16/40/48 bytes, l list, 2/5/8 an
// output table of that many lists, * an open output table, s five script slots,
// X the event table of type 10, Y the field table of type 17.
const char *const g_layouts[flow_node_type_count] = {
    "f*",       "",         "wwmf2",  "",     "mfl",     "tfl",      "fl",   "fl",       "fffwfn2", "wfl",  "X",
    "wwnwpqff", "n*",       "C*",     "Hl",   "nl",      "Tts",      "TtY",  "tsl",      "fl",      "fl",   "fl",
    "wwwwwfwwpf", "fw",     "w",      "f2",   "f8",      "fnpq",     "fnfl", "wwpqfl2",  "fffwfnf2", "wffl", "ff5",
};

u32 var_size(char c)
{
    switch (c) {
    case 'f':
        return 4;
    case 'n':
        return 8;
    case 'p':
        return 12;
    case 'q':
        return 16;
    case 'C':
        return flow_contact_value_size;
    case 'H':
        return flow_mover_hit_value_size;
    default:
        return 0;
    }
}

struct Checker {
    FlowBlob blob;
    u32 node_count = 0;
    u32 block_size = 0;
    u32 node = 0;
    const char *failure = nullptr;

    bool fail(const char *why)
    {
        if (!failure)
            failure = why;
        return false;
    }
    bool word_at(u32 offset) { return blob.has(offset, 4) || fail("a node runs past the end of the graph"); }
    bool var(u32 offset, u32 size)
    {
        if (!word_at(offset))
            return false;
        u32 v = blob.word(offset);
        if (v == flow_not_connected)
            return true;
        return (v <= block_size && size <= block_size - v) || fail("a variable lies outside the variable block");
    }
    bool text(u32 offset, bool optional)
    {
        if (!word_at(offset))
            return false;
        u32 t = blob.word(offset);
        if (optional && t == 0)
            return true;
        return blob.text(t) || fail("a text is not terminated inside the graph");
    }
    bool target(u32 t) { return (t & 0xFFFF) < node_count || fail("a link names a node that does not exist"); }
    // Checks the list at `offset`; `out_end` receives the offset past it.
    bool list(u32 offset, u32 &out_end)
    {
        if (!word_at(offset))
            return false;
        u32 count = blob.word(offset);
        if (count > (blob.size - offset - 4) / 4)
            return fail("a link list runs past the end of the graph");
        for (u32 i = 0; i < count; ++i)
            if (!target(blob.word(offset + 4 + 4 * i)))
                return false;
        out_end = offset + 4 + 4 * count;
        return true;
    }
    bool table(u32 offset, u32 lists, u32 &out_end)
    {
        for (u32 k = 0; k < lists; ++k)
            if (!list(offset, offset))
                return false;
        out_end = offset;
        return true;
    }
    bool slots(u32 &at)
    {
        for (u32 i = 0; i < flow_script_slots; ++i, at += 8) {
            if (!word_at(at) || !var(at + 4, flow_argument_size(blob.word(at))))
                return false;
        }
        return true;
    }
    bool event_table(u32 &at);
    bool field_table(u32 at);
    bool check_node(u32 offset);
};

bool Checker::event_table(u32 &at)
{
    // event count, event ids, slot count, slots, var unit, argument count, arguments, table
    for (u32 i = 0; i < 7; ++i)
        if (!word_at(at + 4 * i))
            return false;
    u32 events = blob.word(at), events_at = blob.word(at + 4);
    u32 slots = blob.word(at + 8), slots_at = blob.word(at + 12);
    u32 args = blob.word(at + 20), args_at = blob.word(at + 24);
    if (events > blob.size / 4 || !blob.has(events_at, events * 4))
        return fail("the event ids of a unit-event node leave the graph");
    if (slots > blob.size / 2 || !blob.has(slots_at, slots * 2))
        return fail("the event slots of a unit-event node leave the graph");
    if (!var(at + 16, 4))
        return false;
    if (args > blob.size / 12 || !blob.has(args_at, args * 12))
        return fail("the arguments of a unit-event node leave the graph");
    for (u32 i = 0; i < args; ++i) {
        u32 a = args_at + 12 * i;
        u32 v = blob.word(a + 4), size = blob.word(a + 8);
        if (v != flow_not_connected && (v > block_size || size > block_size - v))
            return fail("an argument of a unit-event node lies outside the variable block");
    }
    u32 end = 0;
    if (!table(at + 28, slots, end))
        return false;
    at = end;
    return true;
}

bool Checker::field_table(u32 at)
{
    if (!word_at(at) || !word_at(at + 4))
        return false;
    u32 count = blob.word(at), field = blob.word(at + 4);
    if (count > blob.size / 12)
        return fail("a script table node has too many fields");
    for (u32 i = 0; i < count; ++i) {
        if (!word_at(field) || !var(field + 4, flow_argument_size(blob.word(field))))
            return false;
        const char *name = blob.text(field + 8);
        if (!name)
            return fail("a script table field name is not terminated inside the graph");
        u32 length = u32(strlen(name)) + 1;
        field += 8 + ((length + 3) & ~3u);
    }
    return true;
}

bool Checker::check_node(u32 offset)
{
    if (!blob.has(offset, 8))
        return fail("a node lies outside the graph");
    u32 type = blob.word(offset);
    if (type >= flow_node_type_count)
        return fail("unknown node type");
    u32 links = blob.word(offset + 4), end = 0;
    if (links != 0 && !list(links, end))
        return false;
    u32 at = offset + 8;
    for (const char *c = g_layouts[type]; *c; ++c) {
        switch (*c) {
        case 'w':
            if (!word_at(at))
                return false;
            at += 4;
            break;
        case 'm':
            if (!blob.has(at, 64))
                return fail("a node runs past the end of the graph");
            at += 64;
            break;
        case 't':
        case 'T':
            if (!text(at, *c == 'T'))
                return false;
            at += 4;
            break;
        case 'l':
            if (!list(at, at))
                return false;
            break;
        case '2':
        case '5':
        case '8':
            if (!table(at, u32(*c - '0'), at))
                return false;
            break;
        case '*':
            break; // lists read as the input asks, each inside the blob
        case 's':
            if (!slots(at))
                return false;
            break;
        case 'X':
            if (!event_table(at))
                return false;
            break;
        case 'Y':
            if (!field_table(at))
                return false;
            at += 8;
            break;
        default:
            if (!var(at, var_size(*c)))
                return false;
            at += 4;
            break;
        }
    }
    return true;
}

} // namespace

u32 flow_argument_size(u32 type)
{
    switch (type) {
    case 1: // unit
    case 5: // float
    case 6: // bool
    case 7: // string (blob offset)
        return 4;
    case 4:
        return 12;
    case 8:
        return 8;
    case 9:
        return 16;
    default:
        return 0;
    }
}

u32 FlowBlob::word(u32 offset) const
{
    if (!has(offset, 4))
        return 0;
    u32 v;
    memcpy(&v, data + offset, 4);
    return v;
}

// Calls `bound` with every blob offset the node at `offset` points to: its link list and
// the texts and tables its fixed data words name, up to its first inline list.
template <typename Bound> void node_pointers(const FlowBlob &blob, u32 offset, Bound &&bound)
{
    if (!blob.has(offset, 8))
        return;
    const u32 type = blob.word(offset);
    if (type >= flow_node_type_count)
        return;
    if (u32 links = blob.word(offset + 4))
        bound(links);
    u32 at = offset + 8;
    for (const char *c = g_layouts[type]; *c; ++c) {
        switch (*c) {
        case 'm':
            at += 64;
            break;
        case 't':
        case 'T':
            if (u32 text = blob.word(at))
                bound(text);
            at += 4;
            break;
        case 's':
            at += 8 * flow_script_slots;
            break;
        case 'X':
            if (blob.word(at))
                bound(blob.word(at + 4));
            if (blob.word(at + 8))
                bound(blob.word(at + 12));
            if (blob.word(at + 20))
                bound(blob.word(at + 24));
            return; // its output table follows inline
        case 'Y':
            if (blob.word(at))
                bound(blob.word(at + 4));
            at += 8;
            break;
        case 'l':
        case '2':
        case '5':
        case '8':
        case '*':
            return; // inline lists: nothing after them is at a fixed place
        default:
            at += 4;
            break;
        }
    }
}

u32 flow_graph_node_count(const u8 *graph, u32 size)
{
    FlowBlob blob{graph, size};
    if (size < flow_header_size)
        return 0;
    // The table holds no count of its own: it ends where something else the graph points to
    // begins (a node, a link list, a text, a table), or at the blob's end.
    u32 table = blob.word(4), end = size;
    auto bound = [&](u32 offset) {
        if (offset >= table && offset < end)
            end = offset;
    };
    if (blob.word(8))
        bound(blob.word(12));
    if (blob.word(16))
        bound(blob.word(20));
    u32 count = 0;
    for (u32 at = table; at <= end && end - at >= 4 && count < flow_max_nodes; at += 4, ++count) {
        const u32 node = blob.word(at);
        bound(node);
        node_pointers(blob, node, bound);
    }
    // A later node may point inside entries already counted: they were never nodes.
    return end > table ? std::min(count, (end - table) / 4) : 0;
}

u32 FlowBlob::node_offset(u32 index) const
{
    if (index >= nodes)
        return 0;
    u32 table = word(4);
    if (!has(table, 4) || index > (size - table) / 4 - 1)
        return 0;
    return word(table + 4 * index);
}

const char *FlowBlob::text(u32 offset) const
{
    if (offset >= size)
        return nullptr;
    const void *end = memchr(data + offset, 0, size - offset);
    return end ? reinterpret_cast<const char *>(data + offset) : nullptr;
}

u32 FlowBlob::output_list(u32 table, u32 k) const
{
    u32 at = table;
    for (u32 i = 0; i <= k; ++i) {
        if (!has(at, 4))
            return 0;
        u32 count = word(at);
        if (count > (size - at - 4) / 4)
            return 0;
        if (i == k)
            return at;
        at += 4 + 4 * count;
    }
    return 0;
}

bool validate_flow_graph(const u8 *graph, u32 size, FlowGraphInfo &out_info)
{
    Checker c;
    c.blob = {graph, size};
    const char *why = nullptr;
    if (size < flow_header_size) {
        why = "shorter than its header";
    } else {
        c.node_count = flow_graph_node_count(graph, size);
        c.blob.nodes = c.node_count;
        c.block_size = c.blob.word(24);
        u32 nodes_at = c.blob.word(4);
        u32 events = c.blob.word(8), events_at = c.blob.word(12);
        u32 vars = c.blob.word(16), vars_at = c.blob.word(20);
        if (events > size / 8 || !c.blob.has(events_at, events * 8))
            why = "the event table leaves the graph";
        else if (vars > size / 8 || !c.blob.has(vars_at, vars * 8))
            why = "the variable table leaves the graph";
        else if (c.block_size > (64u << 20))
            why = "the variable block is too large";
        for (u32 i = 0; i < events && !why; ++i) {
            if (i > 0 && c.blob.word(events_at + 8 * i) < c.blob.word(events_at + 8 * i - 8))
                why = "the event table is not sorted";
            else if ((c.blob.word(events_at + 8 * i + 4) & 0xFFFF) >= c.node_count)
                why = "an event names a node that does not exist";
        }
        for (u32 i = 0; i < vars && !why; ++i) {
            u32 offset = c.blob.word(vars_at + 8 * i + 4);
            if (i > 0 && c.blob.word(vars_at + 8 * i) < c.blob.word(vars_at + 8 * i - 8))
                why = "the variable table is not sorted";
            else if (offset >= c.block_size)
                why = "a named variable lies outside the variable block";
        }
        for (u32 i = 0; i < c.node_count && !why; ++i) {
            c.node = i;
            u32 offset = c.blob.word(nodes_at + 4 * i);
            if (offset >= nodes_at && offset - nodes_at < 4 * c.node_count)
                c.fail("a node lies inside the node table");
            if (c.failure || !c.check_node(offset)) {
                log_message("flow", "flow graph refused at node %u: %s", i, c.failure);
                return false;
            }
        }
    }
    if (why) {
        log_message("flow", "flow graph refused: %s", why);
        return false;
    }
    out_info.node_count = c.node_count;
    out_info.variable_block_size = c.block_size;
    return true;
}

} // namespace tallow
