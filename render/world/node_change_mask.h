#pragma once
// The 64-byte set of changed scene-graph nodes shared by the game-side scene graph, its
// update jobs and the render side's copy.
//
//   NodeChangeMask mask;
//   mask.set(12);          // node 12 changed; the "any changed" byte is now 1 too
//   if (mask.test(12)) ...
//
// Bit n (byte n / 8, bit n mod 8) flags node n; the last byte is 1 whenever any node is
// flagged. So only nodes 0 to 503 fit: graphs are limited to max_scene_graph_nodes, and
// the accessors ignore larger indices rather than touch the flag byte. A plain value,
// copied between threads by the jobs that produce it.

#include "foundation/types.h"

#include <cstring>

namespace tallow {

/// Nodes a scene graph may hold: the node bits stop where the "any changed" byte starts.
constexpr u32 max_scene_graph_nodes = 504;

struct NodeChangeMask {
    static constexpr u32 any_byte = 63;
    u8 bytes[64] = {};

    /// Flags node `n` and the whole mask as changed. Indices of 504 and above are ignored.
    void set(u32 n)
    {
        if (n >= max_scene_graph_nodes)
            return;
        bytes[n >> 3] |= u8(1u << (n & 7));
        bytes[any_byte] = 1;
    }
    /// True when node `n` is flagged (false for indices of 504 and above).
    bool test(u32 n) const { return n < max_scene_graph_nodes && (bytes[n >> 3] >> (n & 7)) & 1; }
    /// True when any node is flagged.
    bool any() const { return bytes[any_byte] != 0; }
    void clear() { memset(bytes, 0, sizeof bytes); }
    /// Adds the nodes flagged in `other`.
    void merge(const NodeChangeMask &other)
    {
        for (u32 i = 0; i < sizeof bytes; ++i)
            bytes[i] |= other.bytes[i];
    }
    bool operator==(const NodeChangeMask &other) const { return memcmp(bytes, other.bytes, sizeof bytes) == 0; }
};
static_assert(sizeof(NodeChangeMask) == 64);

} // namespace tallow
