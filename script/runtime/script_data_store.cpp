#include "script/runtime/script_data_store.h"

#include "foundation/io/chunk_store.h"
#include "foundation/memory/memory_globals.h"
#include "script/runtime/lua_environment.h"
#include "script/runtime/registration.h"
#include "world/units/unit_resource.h"

#include <lua.hpp>

#include <cstring>

namespace tallow {

namespace {

constexpr u32 kind_bool = 1;
constexpr u32 kind_number = 2;
constexpr u32 kind_string = 3;
constexpr u32 kind_vector3 = 100;
constexpr u32 kind_quaternion = 101;
constexpr u32 kind_matrix = 102;
constexpr u32 kind_unit = 103;
constexpr u32 kind_pointer = 104;
constexpr u32 no_child = 0xFFFFFFFFu;
// Unit resources check their data defaults against these kinds.
static_assert(kind_bool == data_store_kind::boolean && kind_number == data_store_kind::number &&
              kind_string == data_store_kind::string && kind_vector3 == data_store_kind::vector3 &&
              kind_quaternion == data_store_kind::quaternion && kind_matrix == data_store_kind::matrix4x4 &&
              kind_unit == data_store_kind::unit && kind_pointer == data_store_kind::pointer &&
              script_reference_chunk_kind == data_store_kind::script_reference);

// Bytes a value of `kind` is read as (0: anything).
u32 value_bytes(u32 kind)
{
    switch (kind) {
    case kind_bool: return 1;
    case kind_number: return 4;
    case kind_vector3: return 12;
    case kind_quaternion: return 16;
    case kind_matrix: return 64;
    case kind_unit: return 4;
    case kind_pointer: return sizeof(void *);
    case script_reference_chunk_kind: return sizeof(ScriptReference);
    default: return 0;
    }
}

u32 key_arg(const LuaStack &stack, i32 arg)
{
    if (stack.is_string(arg))
        return stack.get_id32(arg).value();
    if (stack.is_number(arg))
        return u32(stack.get_integer(arg, 0, 0xFFFFFFFFll));
    stack.argument_error(arg, "string or integer key");
}

/// Releases the references held by `chunk` (a value or a whole group) before it is
/// replaced or removed.
void release_chunk(ChunkStore &store, u32 chunk)
{
    if (store.chunk_kind(chunk) == script_reference_chunk_kind && store.chunk_size(chunk) >= sizeof(ScriptReference)) {
        ScriptReference reference;
        std::memcpy(&reference, store.chunk_data(chunk), sizeof(reference));
        if (reference.state)
            luaL_unref(reference.state, LUA_REGISTRYINDEX, reference.reference);
        reference.state = nullptr;
        std::memcpy(store.chunk_data(chunk), &reference, sizeof(reference));
        return;
    }
    if (store.chunk_kind(chunk) == ChunkStore::nested_list && store.chunk_size(chunk) >= 4)
        release_script_references(store, ChunkStore::nested_head(chunk));
}

/// The head of the group the keys first..last lead to, or not_found. With `create`,
/// missing groups are made and values in the way are replaced by groups.
u32 walk(const LuaStack &stack, ChunkStore &store, i32 first, i32 last, bool create)
{
    u32 head = ChunkStore::root_list;
    for (i32 arg = first; arg <= last; ++arg) {
        u32 key = key_arg(stack, arg);
        u32 chunk = store.find(head, key);
        if (chunk == ChunkStore::not_found || store.chunk_kind(chunk) != ChunkStore::nested_list) {
            if (!create)
                return ChunkStore::not_found;
            if (chunk != ChunkStore::not_found)
                release_chunk(store, chunk);
            u32 empty = no_child;
            chunk = store.set(head, key, ChunkStore::nested_list, sizeof(empty), &empty);
            if (chunk == ChunkStore::not_found)
                stack.error("the data store is full");
        }
        head = ChunkStore::nested_head(chunk);
    }
    return head;
}

} // namespace

void script_data_set(const LuaStack &stack, ChunkStore &store, i32 first)
{
    i32 n = stack.count();
    if (n < first + 1)
        stack.argument_error(n + 1, n < first ? "key" : "value");
    lua_State *L = stack.state();
    i32 value = n;
    // Every key is checked before the store changes.
    for (i32 arg = first; arg < value; ++arg)
        (void)key_arg(stack, arg);
    u32 kind = 0;
    u8 bytes[64];
    u32 size = 0;
    const void *data = bytes;
    switch (lua_type(L, stack.index(value))) {
    case LUA_TNIL:
        break;
    case LUA_TBOOLEAN:
        kind = kind_bool, size = 1, bytes[0] = lua_toboolean(L, stack.index(value)) ? 1 : 0;
        break;
    case LUA_TNUMBER: {
        f32 f = f32(lua_tonumber(L, stack.index(value)));
        kind = kind_number, size = 4, std::memcpy(bytes, &f, 4);
        break;
    }
    case LUA_TSTRING: {
        size_t length = 0;
        data = lua_tolstring(L, stack.index(value), &length);
        if (length >= 0xFFFFFF00u)
            stack.argument_message(value, "string too long to store");
        kind = kind_string, size = u32(length) + 1;
        break;
    }
    case LUA_TLIGHTUSERDATA:
        if (stack.is_unit_reference(value)) {
            UnitHandle h = stack.get_unit_handle(value);
            kind = kind_unit, size = 4, std::memcpy(bytes, &h, 4);
        } else if (stack.is_vector3(value)) {
            kind = kind_vector3, size = 12, std::memcpy(bytes, stack.get_vector3(value), 12);
        } else if (stack.is_quaternion(value)) {
            kind = kind_quaternion, size = 16, std::memcpy(bytes, stack.get_quaternion(value), 16);
        } else if (stack.is_matrix4x4(value)) {
            kind = kind_matrix, size = 64, std::memcpy(bytes, stack.get_matrix4x4(value), 64);
        } else {
            void *p = lua_touserdata(L, stack.index(value));
            kind = kind_pointer, size = sizeof(p), std::memcpy(bytes, &p, sizeof(p));
        }
        break;
    case LUA_TTABLE:
    case LUA_TFUNCTION:
        kind = script_reference_chunk_kind, size = sizeof(ScriptReference);
        break;
    default:
        stack.argument_error(value, "storable value");
    }
    // A removal makes no groups on its way, and leaves values in its way alone.
    u32 head = walk(stack, store, first, value - 2, kind != 0);
    if (head == ChunkStore::not_found)
        return;
    u32 key = key_arg(stack, value - 1);
    u32 old = store.find(head, key);
    if (old != ChunkStore::not_found)
        release_chunk(store, old);
    if (kind == 0) {
        store.remove(head, key);
        return;
    }
    if (kind == script_reference_chunk_kind) {
        lua_pushvalue(L, stack.index(value));
        // Kept with the environment's main state: a coroutine that stores it may be gone
        // when the value is read or released.
        ScriptReference reference{stack.environment().state(), luaL_ref(L, LUA_REGISTRYINDEX)};
        std::memcpy(bytes, &reference, sizeof(reference));
        if (store.set(head, key, kind, size, bytes) == ChunkStore::not_found) {
            luaL_unref(L, LUA_REGISTRYINDEX, reference.reference);
            stack.error("the data store is full");
        }
        return;
    }
    if (store.set(head, key, kind, size, data) == ChunkStore::not_found)
        stack.error("the data store is full");
}

void script_data_get(const LuaStack &stack, ChunkStore &store, i32 first)
{
    i32 n = stack.count();
    if (n < first)
        stack.argument_error(first, "key");
    u32 head = walk(stack, store, first, n - 1, false);
    u32 chunk = head == ChunkStore::not_found ? ChunkStore::not_found : store.find(head, key_arg(stack, n));
    if (chunk == ChunkStore::not_found) {
        stack.push_nil();
        return;
    }
    const u8 *data = store.chunk_data(chunk);
    u32 size = store.chunk_size(chunk);
    // A value shorter than its kind is damage (unit resources refuse such defaults): nil.
    if (size < value_bytes(store.chunk_kind(chunk))) {
        stack.push_nil();
        return;
    }
    f32 f[16];
    switch (store.chunk_kind(chunk)) {
    case kind_bool:
        stack.push_bool(size >= 1 && data[0] != 0);
        return;
    case kind_number:
        std::memcpy(f, data, 4);
        stack.push_float(f[0]);
        return;
    case kind_string:
        // The size is rounded up to 4: the text ends at its first zero.
        stack.push_string(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
        return;
    case kind_vector3:
        std::memcpy(f, data, 12);
        stack.push_vector3(f[0], f[1], f[2]);
        return;
    case kind_quaternion:
        std::memcpy(f, data, 16);
        stack.push_quaternion(f[0], f[1], f[2], f[3]);
        return;
    case kind_matrix:
        std::memcpy(f, data, 64);
        stack.push_matrix4x4(f);
        return;
    case kind_unit: {
        UnitHandle h;
        std::memcpy(&h, data, 4);
        stack.push_unit_reference(h);
        return;
    }
    case kind_pointer: {
        void *p;
        std::memcpy(&p, data, sizeof(p));
        stack.push_lightuserdata(p);
        return;
    }
    case script_reference_chunk_kind: {
        ScriptReference reference;
        std::memcpy(&reference, data, sizeof(reference));
        if (reference.state == stack.environment().state())
            stack.push_registry_reference(reference.reference);
        else
            stack.push_nil();
        return;
    }
    default: // a group
        stack.push_nil();
    }
}

void script_data_has(const LuaStack &stack, ChunkStore &store, i32 first)
{
    i32 n = stack.count();
    if (n < first)
        stack.argument_error(first, "key");
    u32 head = walk(stack, store, first, n - 1, false);
    stack.push_bool(head != ChunkStore::not_found && store.find(head, key_arg(stack, n)) != ChunkStore::not_found);
}

void script_data_release(ChunkStore &store) { release_script_references(store); }

} // namespace tallow
