#pragma once
// B-tree map keeping its entries in key order (config objects keep their members in it).
//
//   OrderedMap<DynamicString, u32> ids(allocator);
//   ids.find_or_insert("speed")->value = 4;
//   for (auto &entry : ids)                 // ascending key order
//       log_message("config", "%s = %u", entry.key.c_str(), entry.value);
//   auto at = ids.lower_bound("sp");        // first key not below "sp"
//   ids.erase("speed");
//
// Nodes hold at most 19 entries between operations: a node is split when it reaches 20
// (the middle entry moves up, the new right sibling takes the upper 9). A leaf's entry
// array grows on demand, doubling from 4 up to 20 entries, so small maps stay small; an
// inner node's entry and child arrays are reserved at their full size when it becomes
// inner, so a split never reallocates the parent. Non-root nodes keep at least 9
// entries; erase borrows from or merges with a sibling to keep it so. The root is
// allocated on the first insertion and keeps its address until `clear`.
//
// Key order comes from a trait with `static int compare(const K &, const Q &)` (negative,
// zero or positive) for each lookup type Q, and `static void assign(K &, const Q &)` to
// store a new key. The default trait orders numbers by value and text (anything with
// c_str(), or const char *) byte-wise as unsigned bytes, so a prefix sorts first.
//
// Positions (and iterators) stay valid until the next insertion or erase. Keys must not
// be changed through an entry. Not thread-safe; owners guard their maps.

#include "foundation/memory/allocator.h"
#include "foundation/containers/array.h"
#include "foundation/log.h"
#include "foundation/types.h"

#include <cstring>
#include <type_traits>
#include <utility>

namespace tallow {

/// Orders numbers by value.
struct NumberOrder {
    template <typename A, typename B> static int compare(const A &a, const B &b)
    {
        if constexpr (std::is_integral_v<A> && std::is_integral_v<B>)
            return std::cmp_less(b, a) - std::cmp_less(a, b); // exact across signedness
        else
            return (b < a) - (a < b);
    }
    template <typename K, typename Q> static void assign(K &key, const Q &from) { key = K(from); }
};

/// Orders zero-terminated text byte-wise, as unsigned bytes; null text is empty.
struct TextOrder {
    static const char *text(const char *s) { return s ? s : ""; }
    template <typename S> static auto text(const S &s) -> decltype(s.c_str()) { return s.c_str(); }
    template <typename A, typename B> static int compare(const A &a, const B &b)
    {
        return strcmp(text(a), text(b)); // strcmp compares as unsigned char
    }
    template <typename K, typename Q> static void assign(K &key, const Q &from) { key = from; }
};

/// The default key order of OrderedMap: NumberOrder for numbers, TextOrder otherwise.
template <typename K> struct OrderedKey : std::conditional_t<std::is_arithmetic_v<K>, NumberOrder, TextOrder> {};

template <typename K, typename V, typename Order = OrderedKey<K>> class OrderedMap {
  public:
    static constexpr u32 node_capacity = 20;              ///< a node splits on reaching this
    static constexpr u32 max_entries = node_capacity - 1; ///< per node between operations
    static constexpr u32 min_entries = max_entries / 2;   ///< per non-root node (9)

    struct Entry {
        K key;
        V value;
        explicit Entry(Allocator &allocator) : key(make_default<K>(allocator)), value(make_default<V>(allocator)) {}
    };

    struct Node {
        Node *parent = nullptr;
        Array<Entry> entries;  // inner: reserved to node_capacity; leaf: grows up to it
        Array<Node *> children; // inner: reserved to node_capacity + 1; empty for a leaf
        explicit Node(Allocator &allocator) : entries(allocator), children(allocator) {}
        bool is_leaf() const { return children.empty(); }
    };

    /// A place in the map: entry `index` of `node`. The end is the root at its entry count.
    /// Doubles as the iterator: ++ moves to the next key in order.
    struct Position {
        Node *node = nullptr;
        u32 index = 0;

        Entry &operator*() const { return node->entries[index]; }
        Entry *operator->() const { return &node->entries[index]; }
        Position &operator++()
        {
            *this = OrderedMap::next(*this);
            return *this;
        }
        bool operator==(const Position &other) const { return node == other.node && index == other.index; }
        bool operator!=(const Position &other) const { return !(*this == other); }
    };

    /// An empty map; allocates nothing until the first insertion.
    explicit OrderedMap(Allocator &allocator) : _allocator(&allocator) {}
    OrderedMap(const OrderedMap &other) : _allocator(other._allocator) { copy_from(other); }
    OrderedMap &operator=(const OrderedMap &other)
    {
        if (this != &other) {
            clear();
            copy_from(other);
        }
        return *this;
    }
    OrderedMap(OrderedMap &&other) noexcept : _root(other._root), _count(other._count), _allocator(other._allocator)
    {
        other._root = nullptr;
        other._count = 0;
    }
    OrderedMap &operator=(OrderedMap &&other) noexcept
    {
        if (this != &other) {
            if (_allocator == other._allocator) {
                clear();
                std::swap(_root, other._root);
                std::swap(_count, other._count);
            } else {
                *this = static_cast<const OrderedMap &>(other);
            }
        }
        return *this;
    }
    ~OrderedMap() { clear(); }

    u32 size() const { return _count; }
    bool empty() const { return _count == 0; }
    Allocator &allocator() const { return *_allocator; }

    /// The first entry in key order (the end when empty).
    Position begin() const
    {
        if (!_root)
            return {};
        Node *n = _root;
        while (!n->is_leaf())
            n = n->children[0];
        return next_position({n, 0});
    }
    Position end() const { return _root ? Position{_root, _root->entries.size()} : Position{}; }

    /// The position after `at` in key order (end after the last entry; end stays end).
    static Position next(Position at)
    {
        if (!at.node || at.index >= at.node->entries.size())
            return at;
        if (!at.node->is_leaf()) {
            Node *n = at.node->children[at.index + 1];
            while (!n->is_leaf())
                n = n->children[0];
            return {n, 0};
        }
        ++at.index;
        return next_position(at);
    }

    /// The entry holding `key`, or end().
    template <typename Q> Position find(const Q &key) const
    {
        Node *n;
        u32 i;
        return descend(key, n, i) ? Position{n, i} : end();
    }
    template <typename Q> bool has(const Q &key) const { return find(key) != end(); }

    /// The first entry whose key is not below `key`, or end().
    template <typename Q> Position lower_bound(const Q &key) const
    {
        Position candidate = end();
        Node *n = _root;
        while (n) {
            int order;
            const u32 i = search_node(n, key, order);
            const u32 count = n->entries.size();
            if (i < count) {
                candidate = {n, i};
                if (order == 0)
                    break;
            }
            if (n->is_leaf())
                break;
            n = n->children[i];
        }
        return candidate;
    }

    /// The entry holding `key`, inserted with a default value (0 for numbers) when absent.
    /// Returns end() only when memory ran out (logged).
    template <typename Q> Position find_or_insert(const Q &key)
    {
        if (!_root) {
            _root = new_node(nullptr, 0, false);
            if (!_root)
                return end();
        }
        Node *n;
        u32 i;
        if (descend(key, n, i))
            return {n, i};
        // The entry is built in place at the end and then moved to its slot; building
        // it aside and moving it in cost a value's construction and destruction more.
        grow_leaf(n);
        const u32 count = n->entries.size();
        n->entries.resize(count + 1);
        if (n->entries.size() != count + 1) {
            log_message("ordered_map", "out of memory inserting an entry");
            return end();
        }
        Order::assign(n->entries[count].key, key);
        if (Order::compare(n->entries[count].key, key) != 0) {
            // The key could not be stored (its copy ran out of memory): an entry under
            // another key would break the order, so nothing is inserted.
            n->entries.pop_back();
            log_message("ordered_map", "out of memory storing a key");
            return end();
        }
        for (u32 k = count; k > i; --k)
            std::swap(n->entries[k], n->entries[k - 1]);
        ++_count;
        if (n->entries.size() < node_capacity)
            return {n, i};
        split(n);
        return find(key);
    }

    /// The value of `key`, inserted with a default value when absent. Aborts when out of
    /// memory, since there is no value to hand back.
    template <typename Q> V &operator[](const Q &key)
    {
        Position at = find_or_insert(key);
        if (at == end())
            assert_failed("at != end()", "ordered map out of memory", __FILE__, __LINE__);
        return at->value;
    }

    /// Removes `key`; false when it was absent. Invalidates every position.
    template <typename Q> bool erase(const Q &key)
    {
        Position at = find(key);
        if (at == end())
            return false;
        Node *n = at.node;
        if (n->is_leaf()) {
            n->entries.erase(at.index);
        } else {
            // Take the in-order predecessor's place: the last entry of the rightmost leaf
            // of the left subtree, so the removal itself always happens in a leaf.
            Node *leaf = n->children[at.index];
            while (!leaf->is_leaf())
                leaf = leaf->children.back();
            n->entries[at.index] = std::move(leaf->entries.back());
            leaf->entries.pop_back();
            n = leaf;
        }
        --_count;
        rebalance(n);
        return true;
    }

    /// Frees every node (the root too); the map is empty and allocates on next insertion.
    void clear()
    {
        if (_root)
            free_subtree(_root);
        _root = nullptr;
        _count = 0;
    }

    /// Checks the tree's invariants (entry bounds, child counts and parents, equal leaf
    /// depth, strictly ascending keys, the entry count); logs the first broken one and
    /// returns false. For tests and debug builds.
    bool validate() const
    {
        if (!_root)
            return _count == 0 || fail("entries counted without a root");
        if (_root->parent)
            return fail("the root has a parent");
        u32 counted = 0;
        int leaf_depth = -1;
        const Entry *previous = nullptr;
        if (!validate_node(_root, 0, leaf_depth, counted, previous))
            return false;
        if (counted != _count)
            return fail("the entry count differs from the entries");
        return true;
    }

    /// The root node (null before the first insertion); for inspection and tests.
    const Node *root() const { return _root; }

  private:
    // Index of the first entry in `n` whose key is not below `key`; `out_order` is the
    // comparison there (0 for a match), or 1 when every key is below.
    // A binary search: the returned index is always the last upper bound taken, so its
    // comparison is at hand.
    template <typename Q> static u32 search_node(const Node *n, const Q &key, int &out_order)
    {
        u32 low = 0;
        u32 high = n->entries.size();
        out_order = 1;
        while (low < high) {
            const u32 middle = low + (high - low) / 2;
            const int order = Order::compare(n->entries[middle].key, key);
            if (order < 0) {
                low = middle + 1;
            } else {
                high = middle;
                out_order = order;
            }
        }
        return low;
    }

    // Walks down from the root: true with `out_node`/`out_index` at the entry holding `key`,
    // false with them at the leaf and index where it would go (null node for an empty tree).
    template <typename Q> bool descend(const Q &key, Node *&out_node, u32 &out_index) const
    {
        Node *n = _root;
        u32 i = 0;
        while (n) {
            int order;
            i = search_node(n, key, order);
            if (i < n->entries.size() && order == 0)
                break;
            if (n->is_leaf()) {
                out_node = n;
                out_index = i;
                return false;
            }
            n = n->children[i];
        }
        out_node = n;
        out_index = i;
        return n != nullptr;
    }

    static bool fail(const char *what)
    {
        log_message("ordered_map", "invalid tree: %s", what);
        return false;
    }

    bool validate_node(const Node *n, int depth, int &leaf_depth, u32 &counted, const Entry *&previous) const
    {
        const u32 count = n->entries.size();
        if (count > max_entries)
            return fail("a node holds too many entries");
        if (n != _root && count < min_entries)
            return fail("a node holds too few entries");
        if (!n->is_leaf() && (n->entries.capacity() < node_capacity || n->children.capacity() < node_capacity + 1))
            return fail("an inner node's arrays are not reserved");
        if (!n->is_leaf() && n->children.size() != count + 1)
            return fail("an inner node's child count is not its entry count + 1");
        if (n->is_leaf()) {
            if (leaf_depth < 0)
                leaf_depth = depth;
            else if (leaf_depth != depth)
                return fail("leaves at different depths");
        }
        for (u32 i = 0; i <= count; ++i) {
            if (!n->is_leaf()) {
                const Node *child = n->children[i];
                if (!child || child->parent != n)
                    return fail("a child's parent is wrong");
                if (!validate_node(child, depth + 1, leaf_depth, counted, previous))
                    return false;
            }
            if (i == count)
                break;
            const Entry &e = n->entries[i];
            if (previous && Order::compare(previous->key, e.key) >= 0)
                return fail("keys are not strictly ascending");
            previous = &e;
            ++counted;
        }
        return true;
    }

    // Climbs from a position past a node's last entry to its parent's entry that follows.
    static Position next_position(Position at)
    {
        while (at.index == at.node->entries.size() && at.node->parent) {
            Node *parent = at.node->parent;
            at.index = child_slot(parent, at.node);
            at.node = parent;
        }
        return at;
    }

    static u32 child_slot(const Node *parent, const Node *child)
    {
        u32 slot = 0;
        while (slot < parent->children.size() && parent->children[slot] != child)
            ++slot;
        return slot;
    }

    // A leaf with room for `entry_room` entries, or an inner node with its full arrays.
    Node *new_node(Node *parent, u32 entry_room, bool inner)
    {
        Node *n = make_new<Node>(*_allocator, *_allocator);
        if (n && !(inner ? reserve_inner(n) : reserve_room(n, entry_room))) {
            delete_with_allocator(*_allocator, n);
            n = nullptr;
        }
        if (!n) {
            log_message("ordered_map", "out of memory for a node");
            return nullptr;
        }
        n->parent = parent;
        return n;
    }

    static bool reserve_room(Node *n, u32 entries)
    {
        n->entries.reserve(entries);
        return n->entries.capacity() >= entries;
    }

    static bool reserve_inner(Node *n)
    {
        n->children.reserve(node_capacity + 1);
        return reserve_room(n, node_capacity) && n->children.capacity() >= node_capacity + 1;
    }

    // Makes room for one more entry in a leaf: doubling from 4, capped at node_capacity.
    // A failure is left to the insertion, which then grows the array by its own rule.
    static void grow_leaf(Node *n)
    {
        const u32 capacity = n->entries.capacity();
        if (n->entries.size() < capacity || capacity >= node_capacity)
            return;
        const u32 doubled = capacity < 2 ? 4 : capacity * 2;
        n->entries.reserve(doubled < node_capacity ? doubled : node_capacity);
    }

    // Moves every entry and child of `from` to the end of `to` (children re-parented).
    static void move_content(Node *from, Node *to, u32 first_entry, u32 first_child)
    {
        for (u32 i = first_entry; i < from->entries.size(); ++i)
            to->entries.push_back(std::move(from->entries[i]));
        for (u32 i = first_child; i < from->children.size(); ++i) {
            to->children.push_back(from->children[i]);
            from->children[i]->parent = to;
        }
        from->entries.resize(first_entry < from->entries.size() ? first_entry : from->entries.size());
        from->children.resize(first_child < from->children.size() ? first_child : from->children.size());
    }

    // Splits a node that reached node_capacity entries, upwards as far as needed. When
    // memory runs out the node stays oversized: still correct, only wider (arrays grow).
    void split(Node *n)
    {
        while (n && n->entries.size() >= node_capacity) {
            const u32 middle = node_capacity / 2;
            const bool inner = !n->is_leaf();
            const u32 count = n->entries.size();
            // Everything is allocated before anything moves, so running out of memory
            // leaves the tree as it was.
            Node *sibling = new_node(n->parent, count - middle - 1, inner);
            Node *lower = n == _root ? new_node(_root, middle, inner) : nullptr;
            if (!sibling || (n == _root && (!lower || !reserve_inner(_root)))) {
                delete_with_allocator(*_allocator, sibling);
                delete_with_allocator(*_allocator, lower);
                return;
            }
            Entry up = std::move(n->entries[middle]);
            move_content(n, sibling, middle + 1, inner ? middle + 1 : 0);
            n->entries.resize(middle);
            if (n == _root) {
                // The root keeps its address: its lower half moves into a new node.
                move_content(n, lower, 0, 0);
                sibling->parent = _root;
                _root->entries.push_back(std::move(up));
                _root->children.push_back(lower);
                _root->children.push_back(sibling);
                return;
            }
            Node *parent = n->parent;
            u32 slot = child_slot(parent, n);
            parent->entries.insert(slot, std::move(up));
            parent->children.insert(slot + 1, sibling);
            n = parent;
        }
    }

    // Restores min_entries in `n` after it lost an entry, by borrowing through the parent
    // from a sibling with entries to spare or by merging with a sibling, upwards.
    void rebalance(Node *n)
    {
        while (n != _root && n->entries.size() < min_entries) {
            Node *parent = n->parent;
            const u32 slot = child_slot(parent, n);
            Node *left = slot > 0 ? parent->children[slot - 1] : nullptr;
            Node *right = slot + 1 < parent->children.size() ? parent->children[slot + 1] : nullptr;
            if (left && left->entries.size() > min_entries) {
                n->entries.insert(0, std::move(parent->entries[slot - 1]));
                parent->entries[slot - 1] = std::move(left->entries.back());
                left->entries.pop_back();
                if (!left->is_leaf()) {
                    Node *child = left->children.back();
                    left->children.pop_back();
                    n->children.insert(0, child);
                    child->parent = n;
                }
                return;
            }
            if (right && right->entries.size() > min_entries) {
                n->entries.push_back(std::move(parent->entries[slot]));
                parent->entries[slot] = std::move(right->entries[0]);
                right->entries.erase(0);
                if (!right->is_leaf()) {
                    Node *child = right->children[0];
                    right->children.erase(0);
                    n->children.push_back(child);
                    child->parent = n;
                }
                return;
            }
            // Merge with a sibling: at most min_entries + 1 + (min_entries - 1) entries.
            Node *into = left ? left : n;
            Node *from = left ? n : right;
            const u32 separator = left ? slot - 1 : slot;
            if (!reserve_room(into, into->entries.size() + 1 + from->entries.size())) {
                // Left underfull rather than half merged: lookups and order stay right.
                log_message("ordered_map", "out of memory merging nodes");
                return;
            }
            into->entries.push_back(std::move(parent->entries[separator]));
            move_content(from, into, 0, 0);
            parent->entries.erase(separator);
            parent->children.erase(separator + 1);
            delete_with_allocator(*_allocator, from);
            n = parent;
        }
        if (n == _root && _root->entries.empty() && _root->children.size() == 1) {
            // The tree loses a level; the root keeps its address and takes its only child.
            Node *child = _root->children[0];
            _root->children.clear();
            move_content(child, _root, 0, 0);
            delete_with_allocator(*_allocator, child);
        }
    }

    void free_subtree(Node *n)
    {
        for (Node *child : n->children)
            free_subtree(child);
        delete_with_allocator(*_allocator, n);
    }

    // Rebuilds `other`'s entries here in order.
    void copy_from(const OrderedMap &other)
    {
        for (Position at = other.begin(); at != other.end(); ++at) {
            Position mine = find_or_insert(at->key);
            if (mine == end())
                return;
            mine->value = at->value;
        }
    }

    Node *_root = nullptr; // allocated on first insertion; keeps its address until clear
    u32 _count = 0;        // entries in the whole tree
    Allocator *_allocator;
};

} // namespace tallow
