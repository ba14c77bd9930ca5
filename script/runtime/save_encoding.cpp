#include "script/runtime/save_encoding.h"

#include "foundation/io/little_endian.h"
#include "foundation/io/output_archive.h"
#include "foundation/log.h"
#include "script/runtime/lua_environment.h"

#include <lua.hpp>

#include <cmath>
#include <cstring>
#include <limits>

namespace tallow {

namespace {

constexpr const char *log_category = "script";

enum Tag : u32 { TagTable = 0, TagEnd = 1, TagNumber = 2, TagString = 3, TagBoolean = 4, TagVector3 = 5 };

// ---- writer ----

class Writer {
  public:
    Writer(lua_State *L, OutputArchive &archive) : _L(L), _archive(archive) {}

    // Writes the value at stack index `index` (absolute).
    bool write_value(int index, u32 depth)
    {
        if (!pad())
            return false;
        switch (lua_type(_L, index)) {
        case LUA_TTABLE: return write_table(index, depth);
        case LUA_TNUMBER: return write_u32(TagNumber) && write_f32(f32(lua_tonumber(_L, index)));
        case LUA_TBOOLEAN: return write_u32(TagBoolean) && write_u32(lua_toboolean(_L, index) ? 1 : 0);
        case LUA_TSTRING: {
            size_t n = 0;
            const char *s = lua_tolstring(_L, index, &n);
            if (n > std::numeric_limits<u32>::max())
                return refuse("a string of 4 GiB or more");
            return write_u32(TagString) && write_u32(u32(n)) && _archive.write(s, n);
        }
        case LUA_TLIGHTUSERDATA: {
            void *p = lua_touserdata(_L, index);
            // Unit references are odd values and are never read through; a pointer is read
            // only when it is a live Vector3 temporary of this state.
            if (p && (reinterpret_cast<uintptr_t>(p) & 1) == 0 &&
                LuaEnvironment::from_state(_L).vector3_temps().is_live(p)) {
                const Vector3Temp *v = static_cast<const Vector3Temp *>(p);
                return write_u32(TagVector3) && write_f32(v->v[0]) && write_f32(v->v[1]) && write_f32(v->v[2]);
            }
            return refuse("a userdata that is not a Vector3 (units, Quaternions and Matrix4x4s have no encoding)");
        }
        default: return refuse(lua_typename(_L, lua_type(_L, index)));
        }
    }

  private:
    bool write_table(int index, u32 depth)
    {
        if (depth >= max_script_value_depth)
            return refuse("tables nested too deeply");
        const void *table = lua_topointer(_L, index);
        for (u32 i = 0; i < _path_count; ++i)
            if (_path[i] == table)
                return refuse("a table that contains itself");
        if (!lua_checkstack(_L, 4))
            return refuse("a value too deep for the Lua stack");
        _path[_path_count++] = table;
        if (!write_u32(TagTable))
            return false;
        lua_pushnil(_L);
        while (lua_next(_L, index) != 0) {
            int key_type = lua_type(_L, -2);
            if (key_type != LUA_TNUMBER && key_type != LUA_TSTRING) {
                lua_pop(_L, 2);
                return refuse("a table key that is neither a number nor a string");
            }
            if (!write_value(lua_gettop(_L), depth + 1) || !write_value(lua_gettop(_L) - 1, depth + 1)) {
                lua_pop(_L, 2);
                return false;
            }
            lua_pop(_L, 1); // the value; the key stays for the traversal
        }
        --_path_count;
        return write_u32(TagEnd);
    }

    bool pad()
    {
        static const u8 zeros[3] = {0, 0, 0};
        u64 misalignment = _archive.position() & 3;
        return misalignment == 0 || _archive.write(zeros, 4 - misalignment);
    }
    bool write_u32(u32 v)
    {
        u8 b[4];
        store_u32_le(b, v);
        return _archive.write(b, 4);
    }
    bool write_f32(f32 f)
    {
        u32 bits;
        std::memcpy(&bits, &f, 4);
        return write_u32(bits);
    }
    bool refuse(const char *what)
    {
        log_message(log_category, "cannot encode the script value: it holds %s", what);
        return false;
    }

    lua_State *_L;
    OutputArchive &_archive;
    const void *_path[max_script_value_depth] = {}; // the tables being written, outermost first
    u32 _path_count = 0;
};

// ---- reader ----

class Reader {
  public:
    Reader(const u8 *data, u64 size, lua_State *L) : _data(data), _size(size), _L(L) {}

    // Pushes one value; false (nothing pushed) on any fault.
    bool read_value(u32 depth)
    {
        align();
        u32 tag = 0;
        if (!read_u32(tag))
            return false;
        switch (tag) {
        case TagTable: return read_table(depth);
        case TagNumber: {
            f32 f = 0.0f;
            if (!read_f32(f))
                return false;
            lua_pushnumber(_L, f);
            return true;
        }
        case TagString: {
            u32 n = 0;
            if (!read_u32(n))
                return false;
            if (n > _size - _cursor)
                return fail("a string runs past the end");
            lua_pushlstring(_L, reinterpret_cast<const char *>(_data + _cursor), n);
            _cursor += n;
            return true;
        }
        case TagBoolean: {
            u32 b = 0;
            if (!read_u32(b))
                return false;
            lua_pushboolean(_L, b != 0);
            return true;
        }
        case TagVector3: {
            f32 v[3] = {};
            if (!read_f32(v[0]) || !read_f32(v[1]) || !read_f32(v[2]))
                return false;
            Vector3Temp *t = LuaEnvironment::from_state(_L).make_vector3(v[0], v[1], v[2]);
            if (!t)
                return fail("no Vector3 temporaries left");
            lua_pushlightuserdata(_L, t);
            return true;
        }
        default: return fail("an unknown tag");
        }
    }

    u64 cursor() const { return _cursor; }

  private:
    bool read_table(u32 depth)
    {
        if (depth >= max_script_value_depth)
            return fail("tables nested too deeply");
        if (!lua_checkstack(_L, 4))
            return fail("tables nested too deeply for the Lua stack");
        lua_newtable(_L);
        int table = lua_gettop(_L);
        for (;;) {
            // The end code follows the last key directly, without alignment.
            if (_size - _cursor < 4)
                return fail_pop("a table has no end", table);
            if (peek_u32() == TagEnd) {
                _cursor += 4;
                return true;
            }
            if (!read_value(depth + 1)) {
                lua_settop(_L, table - 1);
                return false;
            }
            if (!read_value(depth + 1)) {
                lua_settop(_L, table - 1);
                return false;
            }
            // Stack: table, value, key.
            if (lua_type(_L, -1) == LUA_TNUMBER) {
                double key = std::trunc(lua_tonumber(_L, -1));
                if (!std::isfinite(key))
                    return fail_pop("a table key is not a finite number", table);
                lua_pop(_L, 1);
                if (key >= double(std::numeric_limits<int>::min()) && key <= double(std::numeric_limits<int>::max())) {
                    lua_rawseti(_L, table, int(key));
                } else {
                    lua_pushnumber(_L, key);
                    lua_insert(_L, -2);
                    lua_rawset(_L, table);
                }
            } else if (lua_type(_L, -1) == LUA_TSTRING) {
                lua_insert(_L, -2);
                lua_rawset(_L, table);
            } else {
                return fail_pop("a table key is neither a number nor a string", table);
            }
        }
    }

    void align()
    {
        u64 aligned = (_cursor + 3) & ~u64(3);
        _cursor = aligned < _size ? aligned : _size;
    }
    u32 peek_u32() const { return load_u32_le(_data + _cursor); }
    bool read_u32(u32 &out)
    {
        if (_size - _cursor < 4)
            return fail("the value is truncated");
        out = peek_u32();
        _cursor += 4;
        return true;
    }
    bool read_f32(f32 &out)
    {
        u32 bits = 0;
        if (!read_u32(bits))
            return false;
        std::memcpy(&out, &bits, 4);
        return true;
    }
    bool fail(const char *what)
    {
        log_message(log_category, "cannot decode the script value at byte %llu: %s",
                    static_cast<unsigned long long>(_cursor), what);
        return false;
    }
    bool fail_pop(const char *what, int table)
    {
        lua_settop(_L, table - 1);
        return fail(what);
    }

    const u8 *_data;
    u64 _size;
    u64 _cursor = 0;
    lua_State *_L;
};

} // namespace

bool write_script_value(lua_State *L, OutputArchive &archive)
{
    if (lua_gettop(L) < 1) {
        log_message(log_category, "cannot encode the script value: the stack is empty");
        return false;
    }
    int top = lua_gettop(L);
    Writer writer(L, archive);
    bool ok = writer.write_value(top, 0);
    lua_settop(L, top);
    return ok && !archive.has_failed();
}

bool read_script_value(const void *data, u64 size, lua_State *L)
{
    if (!data && size > 0)
        return false;
    if (!lua_checkstack(L, 4))
        return false;
    Reader reader(static_cast<const u8 *>(data), size, L);
    return reader.read_value(0);
}

} // namespace tallow
