#pragma once
// Between the flow interpreter (world/flow/flow.cpp) and its node actions (world/flow/flow_actions.cpp).

#include "foundation/math/matrix4x4.h"
#include "foundation/types.h"
#include "world/flow/flow.h"

#include <cstring>

namespace tallow {

class Unit;

namespace flow_internal {

// Reads of node data ------------------------------------------------------------------------

struct Node {
    FlowContext &c;
    u32 offset; // of the node
    u32 at(u32 word) const { return offset + 8 + 4 * word; }
    u32 w(u32 word) const { return c.graph.word(at(word)); }
    f32 f(u32 word) const
    {
        u32 v = w(word);
        f32 r;
        memcpy(&r, &v, 4);
        return r;
    }
    u64 u64_(u32 word) const { return u64(w(word)) | u64(w(word + 1)) << 32; }
    Matrix4x4 matrix(u32 word) const
    {
        Matrix4x4 m;
        if (c.graph.has(at(word), 64))
            memcpy(&m, c.graph.data + at(word), 64);
        else
            m = matrix4x4_identity;
        return m;
    }
    u8 *var(u32 word, u32 size) const { return c.variable(w(word), size); }
};

template <typename T> T load(const u8 *p, T fallback)
{
    if (!p)
        return fallback;
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}

template <typename T> void store(u8 *p, const T &v)
{
    if (p)
        memcpy(p, &v, sizeof v);
}

/// The live unit whose handle `variable` holds; null when not connected, destroyed or
/// while the spawn value is stored (no world).
Unit *live_unit(const FlowContext &c, const u8 *variable);

/// Runs the action of node `node` (at `offset`) for the input in the top half of `target`.
void execute_action(FlowContext &c, u32 node, u32 offset, u32 target);

} // namespace flow_internal

} // namespace tallow
