#pragma once
// Compiled flow graphs: the read-only blob of a unit's or a level's event graph, and the
// check every graph passes at load.
//
//   FlowGraphInfo info;
//   if (!validate_flow_graph(bytes, size, info))   // logged: which node, which field
//       return refuse();
//   // info.variable_block_size: bytes of flow variables an instance of the graph needs
//
// Layout (little-endian u32 words, offsets in bytes from the start of the blob):
//
//   0   not read (the writer puts 0 there)
//   4   offset of the node offset table: one u32 offset per node
//   8   event count     12  offset of the event table: {u32 event id, u32 target}, sorted by id
//   16  variable count  20  offset of the variable table: {u32 name id, u32 offset}, sorted
//   24  size of the variable block
//
// The node count is not stored: the node table runs from its offset up to the first thing
// after it that the graph points to (the event table and the variable table when not
// empty, a node, a node's link list, and the texts and tables a node's fixed data words
// name), or to the blob's end, and holds at most flow_max_nodes entries. Nothing the graph
// points to starts inside the node table; any other layout is free (link lists may sit
// between the node table and the nodes, the node table may come last).
//
// A target is a node index in the low 16 bits and an input index in the high 16 bits. A
// node is {u32 type (0-32), u32 offset of its link list (0: none), data words}. A link list
// is {u32 count, count targets}; an output table is lists back to back. Node data refers
// to flow variables by their offset in the variable block ("var"; 0xFFFFFFFF: not
// connected) and to texts by blob offsets of zero-terminated strings. The data words of
// each type (after type and link list; "table n" = an output table of n lists, "table *"
// = an output table whose list count the node does not give: the input index picks the
// list, each list read inside the blob):
//
//   0  flag              var flag(4); table *
//   1, 3  event source   (none; no reaction)
//   2  spawn unit        u64 unit name; matrix pose (16 f32); var unit(4); table 2
//   4  set unit pose     matrix pose; var unit(4); list
//   5  script event      text callback name; var unit(4); list
//   6  delay             var delay(4, f32); list
//   7  unit event source var unit(4); list
//   8  simple animation  var start(4); var end(4); var speed(4); u32 loop; var unit(4);
//                        var group name(8); table 2
//   9  animation event   u32 event id; var unit(4); list
//   10 unit event with arguments
//                        u32 event count; offset of the event ids (u32 each); u32 slot count;
//                        offset of the slots (u16 input index each); var unit(4);
//                        u32 argument count; offset of the arguments {u32 variable name id,
//                        var value, u32 value size}; table (slot count)
//   11 particles         u64 effect name; var node name(8); u32 link flag; var position(12);
//                        var rotation(16); var unit(4); var effect id(4)
//   12 actor event       var actor(8); table *
//   13 contact/trigger   var contact(40: two actor references, position, normal); table *
//   14 mover hit         var hit(48: actor reference, three Vector3, f32); list
//   15 actor source      var actor(8); list
//   16 script method     text object (offset 0: none); text method; 5 x {u32 type, var}
//   17 script method with table
//                        text object (0: none); text method; u32 field count; offset of
//                        the fields {u32 type, var, zero-terminated name padded to 4 bytes}
//   18 script string     text code; 5 x {u32 type, var}; list
//   19 once              var counter(4); list
//   20 gate              var open(4); list
//   21 destroy unit      var unit(4); list
//   22 sound             u64 sound name; u32 looping; f32 range; f32 volume; var unit(4);
//                        u32 node name id; u32 link flag; var position(12); var source id(4)
//   23 unit event        var unit(4); u32 event id
//   24 level event       u32 event id
//   25 flip-flop         var state(4); table 2
//   26 random output     var last choice(4); table 8
//   27 node pose         var unit(4); var node name(8); var position(12); var rotation(16)
//   28 visibility        var unit(4); var group name(8); var visible(4); list
//   29 spawn unit at     u64 unit name; var position(12); var rotation(16); var unit(4);
//                        list; table 2
//   30 two-way simple animation
//                        var from(4); var to(4); var speed(4); u32 loop; var unit(4);
//                        var group name(8); var time(4); table 2
//   31 float arithmetic  f32 constant; var operand(4); var target(4); list
//   32 compare           var a(4); var b(4); table 5
//
// Script argument types (16, 17, 18) are world/flow/flow_script.h's FlowArgument codes; a
// variable of type 7 (string) holds the blob offset of its text.
//
// Validation refuses a graph when any offset, count or index leaves the blob, a node type
// is unknown, a variable does not fit the variable block, a target names a node that does
// not exist, a text is not terminated inside the blob, or a table is not sorted.

#include "foundation/types.h"

namespace tallow {

constexpr u32 flow_not_connected = 0xFFFFFFFFu;
constexpr u32 flow_node_type_count = 33;
constexpr u32 flow_header_size = 28;
constexpr u32 flow_script_slots = 5;
constexpr u32 flow_max_nodes = 0x10000; // a target's node index has 16 bits

enum FlowNodeType : u32 {
    flow_flag = 0,
    flow_event_source = 1,
    flow_spawn_unit = 2,
    flow_event_source_b = 3,
    flow_set_unit_pose = 4,
    flow_script_event = 5,
    flow_delay = 6,
    flow_unit_source = 7,
    flow_simple_animation = 8,
    flow_animation_event = 9,
    flow_unit_event_with_arguments = 10,
    flow_particles = 11,
    flow_actor_event = 12,
    flow_contact_event = 13,
    flow_mover_event = 14,
    flow_actor_source = 15,
    flow_script_method = 16,
    flow_script_method_with_table = 17,
    flow_script_string = 18,
    flow_once = 19,
    flow_gate = 20,
    flow_destroy_unit = 21,
    flow_sound = 22,
    flow_send_unit_event = 23,
    flow_level_event = 24,
    flow_flip_flop = 25,
    flow_random_output = 26,
    flow_node_pose = 27,
    flow_visibility = 28,
    flow_spawn_unit_at = 29,
    flow_two_way_animation = 30,
    flow_float_arithmetic = 31,
    flow_compare = 32,
};

/// Sizes of the values typed events store (contact: two actor references, two Vector3;
/// mover hit: one actor reference, three Vector3, an f32).
constexpr u32 flow_actor_reference_size = 8;
constexpr u32 flow_contact_value_size = 40;
constexpr u32 flow_mover_hit_value_size = 48;

/// Bytes of a flow argument value of that type in a variable (0 for pointers).
u32 flow_argument_size(u32 type);

struct FlowGraphInfo {
    u32 node_count = 0;
    u32 variable_block_size = 0;
};

/// Checks a compiled graph (see the header comment); false with a logged reason.
bool validate_flow_graph(const u8 *graph, u32 size, FlowGraphInfo &out_info);

/// The number of entries of the graph's node table (see the header comment); 0 for a blob
/// shorter than its header. Reads only the header and the table.
u32 flow_graph_node_count(const u8 *graph, u32 size);

/// Bounded reads of a graph blob: every read checks the blob's end. Made with
/// make_flow_blob, which counts the nodes once.
struct FlowBlob {
    const u8 *data = nullptr;
    u32 size = 0;
    u32 nodes = 0; // entries of the node table

    bool has(u32 offset, u32 bytes) const { return offset <= size && bytes <= size - offset; }
    /// The u32 at `offset`, or 0 past the end.
    u32 word(u32 offset) const;
    u32 node_count() const { return nodes; }
    /// Offset of node `index`, or 0 when it does not exist.
    u32 node_offset(u32 index) const;
    /// The zero-terminated text at `offset`, or null when it is not one inside the blob.
    const char *text(u32 offset) const;
    /// Offset of list `k` of the output table at `table`, 0 when it leaves the blob.
    u32 output_list(u32 table, u32 k) const;
    /// Offset just past the link list at `list`.
    u32 list_end(u32 list) const { return list + 4 + 4 * word(list); }
};

/// A FlowBlob over `size` bytes at `graph`, its node count taken from the node table.
inline FlowBlob make_flow_blob(const u8 *graph, u32 size) { return {graph, size, flow_graph_node_count(graph, size)}; }

} // namespace tallow
