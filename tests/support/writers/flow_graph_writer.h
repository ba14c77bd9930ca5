#pragma once
// Builds compiled flow graphs (world/flow/flow_graph.h) from node lists. The world tests, the
// fuzz seeds, the benchmark and the level compiler (tools/world/level_compiler.h) write graphs
// through it.
//
//   test::FlowGraphWriter g;
//   u32 counter = g.add_variable("count", 4);                 // offset in the block
//   u32 once = g.add_node(flow_once, {counter, 1, test::flow_target(2)});  // var; list
//   g.add_event(NameId32("go").value(), test::flow_target(once));
//   std::vector<u8> blob = g.write(), defaults = g.defaults();
//
// Texts and tables that nodes point at go into a data area right behind the header
// (`add_text`, `add_words`), so their offsets are known at once. Node data words are raw:
// a test can write anything the reader must refuse.

#include "foundation/math/matrix4x4.h"
#include "foundation/types.h"

#include <string>
#include <vector>

namespace tallow::test {

/// A flow target: node index low, input index high.
constexpr u32 flow_target(u32 node, u32 input = 0) { return node | input << 16; }
u32 flow_word(f32 value);
/// A link list {count, targets} as words.
std::vector<u32> flow_list(const std::vector<u32> &targets);

/// Where the writer puts the parts of a graph (all are valid: the reader finds each by offset).
enum class FlowLayout {
    NodesFirst,       // node table, event and variable tables, nodes, link lists
    LinksBeforeNodes, // node table, link lists, event and variable tables, nodes
    NodeTableLast,    // event and variable tables, nodes, link lists, node table
};

class FlowGraphWriter {
  public:
    /// A variable of `size` bytes (4-aligned), named (in the variable table) unless
    /// `name_id` is 0; `initial` (may be null) gives its default bytes. Returns its offset.
    u32 add_variable(u32 name_id, u32 size, const void *initial = nullptr);
    u32 add_variable(const char *name, u32 size, const void *initial = nullptr);
    u32 add_float(const char *name, f32 value) { return add_variable(name, 4, &value); }
    u32 add_u32(const char *name, u32 value) { return add_variable(name, 4, &value); }
    /// A zero-terminated text in the data area; its blob offset.
    u32 add_text(const std::string &text);
    /// Raw words in the data area; their blob offset.
    u32 add_words(const std::vector<u32> &words);
    /// A node of `type` with its data words; returns its index.
    u32 add_node(u32 type, const std::vector<u32> &data = {});
    /// The node's link list (run before its action).
    void set_links(u32 node, const std::vector<u32> &targets);
    void add_event(u32 event_id, u32 target);

    u32 node_count() const { return u32(_nodes.size()); }
    u32 variable_block_size() const { return u32(_defaults.size()); }
    std::vector<u8> write(FlowLayout layout = FlowLayout::NodesFirst) const;
    const std::vector<u8> &defaults() const { return _defaults; }

    /// Helpers for node data.
    static void push(std::vector<u32> &words, const std::vector<u32> &more);
    static void push_u64(std::vector<u32> &words, u64 value);
    static void push_matrix(std::vector<u32> &words, const Matrix4x4 &m);

  private:
    struct Node {
        u32 type;
        std::vector<u32> data;
        std::vector<u32> links;
        bool has_links = false;
    };
    struct Entry {
        u32 key;
        u32 value;
    };
    std::vector<u8> _data; // the data area
    std::vector<Node> _nodes;
    std::vector<Entry> _events;
    std::vector<Entry> _variables;
    std::vector<u8> _defaults;
};

} // namespace tallow::test
