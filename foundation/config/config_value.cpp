#include "foundation/config/config_value.h"

#include "foundation/assert.h"
#include "foundation/log.h"

#include <cstring>
#include <utility>

namespace tallow {

const char *to_string(ConfigKind kind)
{
    switch (kind) {
    case ConfigKind::Nil: return "nil";
    case ConfigKind::Bool: return "bool";
    case ConfigKind::Integer: return "integer";
    case ConfigKind::Float: return "float";
    case ConfigKind::String: return "string";
    case ConfigKind::Data: return "data";
    case ConfigKind::Array: return "array";
    case ConfigKind::Object: return "object";
    }
    return "unknown";
}

ConfigValue::ConfigValue(Allocator &allocator)
    : _members(allocator), _items(allocator), _text(allocator), _data(allocator)
{
}

ConfigValue::ConfigValue(const ConfigValue &other) : ConfigValue(other, other.allocator()) {}

// Built field by field with this value's allocator: the containers' own copies would
// keep the source's allocator for the keys and nested values.
ConfigValue::ConfigValue(const ConfigValue &other, Allocator &allocator) : ConfigValue(allocator)
{
    _kind = other._kind;
    for (const auto &entry : other._members) {
        auto at = _members.find_or_insert(entry.key.c_str());
        if (at == _members.end())
            break; // out of memory, logged by the map
        at->value.copy(entry.value);
    }
    _items.reserve(other._items.size());
    for (const ConfigValue &item : other._items)
        _items.push_back(ConfigValue(item, allocator));
    _text.assign(other._text);
    _data.resize(other._data.size());
    if (_data.size() == other._data.size() && _data.size())
        memcpy(_data.data(), other._data.data(), _data.size());
    _float = other._float;
    _integer = other._integer;
    _bool = other._bool;
}

ConfigValue::ConfigValue(ConfigValue &&other) noexcept
    : _kind(other._kind), _members(std::move(other._members)), _items(std::move(other._items)),
      _text(std::move(other._text)), _data(std::move(other._data)), _float(other._float), _integer(other._integer),
      _bool(other._bool)
{
    other._kind = ConfigKind::Nil;
}

ConfigValue &ConfigValue::operator=(ConfigValue &&other) noexcept
{
    if (this == &other)
        return *this;
    if (&other.allocator() != &allocator()) {
        copy(other);
        return *this;
    }
    // `other` may live inside this tree: take its content out first, then let `taken`
    // destroy this value's old content (and the emptied `other` with it).
    ConfigValue taken(std::move(other));
    std::swap(_kind, taken._kind);
    std::swap(_members, taken._members);
    std::swap(_items, taken._items);
    std::swap(_text, taken._text);
    std::swap(_data, taken._data);
    std::swap(_float, taken._float);
    std::swap(_integer, taken._integer);
    std::swap(_bool, taken._bool);
    return *this;
}

ConfigValue::~ConfigValue() = default;

void ConfigValue::copy(const ConfigValue &other)
{
    if (this == &other)
        return;
    ConfigValue fresh(other, allocator());
    *this = std::move(fresh);
}

void ConfigValue::set_bool(bool value)
{
    _kind = ConfigKind::Bool;
    _bool = value ? 1 : 0;
}

void ConfigValue::set_integer(i32 value)
{
    _kind = ConfigKind::Integer;
    _integer = value;
}

void ConfigValue::set_float(f32 value)
{
    _kind = ConfigKind::Float;
    _float = value;
}

void ConfigValue::set_string(const char *text)
{
    _kind = ConfigKind::String;
    _text.assign_cstr(text);
}

void ConfigValue::set_string(const char *text, u32 length)
{
    _kind = ConfigKind::String;
    _text.assign_range(text, length);
}

void ConfigValue::set_data(const u8 *bytes, u32 size_bytes)
{
    _kind = ConfigKind::Data;
    _data.resize(size_bytes);
    if (_data.size() != size_bytes) {
        log_message("config", "out of memory storing %u bytes of data", size_bytes);
        _data.resize(0);
        return;
    }
    if (size_bytes)
        memcpy(_data.data(), bytes, size_bytes);
}

void ConfigValue::set_array()
{
    _kind = ConfigKind::Array;
    _items.resize(0);
}

void ConfigValue::make_array()
{
    if (_kind != ConfigKind::Array)
        set_array();
}

ConfigValue &ConfigValue::element(u32 i)
{
    make_array();
    if (i >= _items.size()) {
        // Doubling from 4: most config arrays hold a handful of items, and the array's
        // own first step (10 values) would take a large block for each of them.
        if (i >= _items.capacity() && i != 0xFFFFFFFFu) {
            u64 wanted = _items.capacity() < 2 ? 4 : u64(_items.capacity()) * 2;
            if (wanted < u64(i) + 1)
                wanted = u64(i) + 1;
            _items.reserve(u32(wanted < 0xFFFFFFFFu ? wanted : 0xFFFFFFFFu));
        }
        if (i != 0xFFFFFFFFu)
            _items.resize(i + 1);
        if (i >= _items.size())
            assert_failed("i < items.size()", "config array out of memory", __FILE__, __LINE__);
    }
    return _items[i];
}

ConfigValue &ConfigValue::push_back() { return element(_kind == ConfigKind::Array ? _items.size() : 0); }

void ConfigValue::set_object()
{
    _kind = ConfigKind::Object;
    _members.clear();
}

void ConfigValue::make_object()
{
    if (_kind != ConfigKind::Object)
        set_object();
}

ConfigValue &ConfigValue::member(const char *key)
{
    make_object();
    auto at = _members.find_or_insert(key ? key : "");
    if (at == _members.end())
        assert_failed("member inserted", "config object out of memory", __FILE__, __LINE__);
    return at->value;
}

ConfigValue *ConfigValue::find(const char *key)
{
    if (_kind != ConfigKind::Object)
        return nullptr;
    auto at = _members.find(key ? key : "");
    return at == _members.end() ? nullptr : &at->value;
}

const ConfigValue *ConfigValue::find(const char *key) const { return const_cast<ConfigValue *>(this)->find(key); }

u32 ConfigValue::count() const
{
    if (_kind == ConfigKind::Array)
        return _items.size();
    if (_kind == ConfigKind::Object)
        return _members.size();
    return 0;
}

// A sound blob holds each array element and object member in its own 4- or 12-byte
// slot, so it cannot describe more values than a quarter of its size; more means records
// are shared or form a cycle. Depth is capped to keep the recursion on the stack.
struct ConfigValue::ConstBudget {
    u64 remaining;
    bool reported = false;
};

namespace {
constexpr u32 max_const_depth = 256;
}

void ConfigValue::assign_const(ConstConfigValue value)
{
    ConstBudget budget{value.blob_size() / 4 + 1};
    assign_const(value, budget, 0);
}

void ConfigValue::assign_const(ConstConfigValue value, ConstBudget &budget, u32 depth)
{
    if (budget.remaining == 0 || depth > max_const_depth) {
        if (!budget.reported)
            log_message("config", "flat config blob at %p has shared, cyclic or too deeply nested records; cut off",
                        value.blob());
        budget.reported = true;
        budget.remaining = 0;
        set_nil();
        return;
    }
    --budget.remaining;
    switch (value.kind()) {
    case ConstConfigKind::Nil: set_nil(); break;
    case ConstConfigKind::Bool: set_bool(value.to_bool()); break;
    case ConstConfigKind::Integer: set_integer(value.to_integer()); break;
    case ConstConfigKind::Float: set_float(value.to_float()); break;
    case ConstConfigKind::String: set_string(value.to_string()); break;
    case ConstConfigKind::Array: {
        set_array();
        const i32 n = value.count();
        _items.reserve(u32(n));
        for (i32 i = 0; i < n; ++i)
            push_back().assign_const(value.element(i), budget, depth + 1);
        break;
    }
    case ConstConfigKind::Object: {
        set_object();
        const i32 n = value.count();
        for (i32 i = 0; i < n; ++i) {
            const char *key;
            ConstConfigValue m = value.member_at(i, &key);
            member(key).assign_const(m, budget, depth + 1);
        }
        break;
    }
    }
}

void ConfigValue::merge_const(ConstConfigValue object)
{
    ConstBudget budget{object.blob_size() / 4 + 1};
    const i32 n = object.count();
    if (object.kind() != ConstConfigKind::Object)
        return;
    for (i32 i = 0; i < n; ++i) {
        const char *key;
        ConstConfigValue m = object.member_at(i, &key);
        member(key).assign_const(m, budget, 1);
    }
}

bool ConfigValue::matches(const ConfigValue &settings, ConstConfigValue condition)
{
    if (condition.kind() != ConstConfigKind::Object)
        return true;
    const i32 n = condition.count();
    for (i32 i = 0; i < n; ++i) {
        const char *key;
        ConstConfigValue wanted = condition.member_at(i, &key);
        const ConfigValue *have = settings.find(key);
        if (!have)
            return false;
        bool equal = false;
        switch (wanted.kind()) {
        case ConstConfigKind::Bool: equal = have->_kind == ConfigKind::Bool && have->to_bool() == wanted.to_bool(); break;
        case ConstConfigKind::Float:
            equal = (have->_kind == ConfigKind::Float || have->_kind == ConfigKind::Integer) &&
                    have->to_float() == wanted.to_float();
            break;
        case ConstConfigKind::String:
            equal = have->_kind == ConfigKind::String && strcmp(have->to_string(), wanted.to_string()) == 0;
            break;
        case ConstConfigKind::Integer:
            equal = have->_kind == ConfigKind::Integer && have->to_integer() == wanted.to_integer();
            break;
        case ConstConfigKind::Nil: equal = have->_kind == ConfigKind::Nil; break;
        case ConstConfigKind::Array:
        case ConstConfigKind::Object: equal = false; break; // not compared: no value equality for trees
        }
        if (!equal)
            return false;
    }
    return true;
}

ConfigValue *create_config_root(Allocator &allocator) { return make_new<ConfigValue>(allocator, allocator); }

void destroy_config_root(ConfigValue *root)
{
    if (root)
        delete_with_allocator(root->allocator(), root);
}

} // namespace tallow
