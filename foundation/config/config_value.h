#pragma once
// Editable config tree: the form the config text parser fills and the writer writes.
//
//   ConfigValue *root = create_config_root(allocator);
//   root->member("win32").member("renderer").member("vsync").set_bool(true);
//   root->member("boot_packages").push_back().set_string("boot");
//   if (const ConfigValue *vsync = root->find("vsync")) ...
//   destroy_config_root(root);
//
// A value has one kind at a time (nil, bool, integer, float, string, byte data, array,
// object); every field exists whatever the kind and only the current kind's field is
// meaningful. Accessors that need an array or object turn the value into one (emptying
// its items or members). Object members are kept in byte-wise key order. Every node's
// storage comes from the allocator the value was made with.
//
// References returned by `member`, `element` and `push_back` stay valid until the next
// insertion into the same object or array (or a change of its kind). Trees are built on
// one thread and read afterwards.

#include "foundation/memory/allocator.h"
#include "foundation/containers/array.h"
#include "foundation/config/const_config_value.h"
#include "foundation/strings/dynamic_string.h"
#include "foundation/containers/ordered_map.h"
#include "foundation/types.h"

namespace tallow {

enum class ConfigKind : u32 {
    Nil = 0,
    Bool = 1,
    Integer = 2,
    Float = 3,
    String = 4,
    Data = 5, ///< byte data: written as a quoted string, dropped (nil) from flat blobs
    Array = 6,
    Object = 7,
};

/// "nil", "bool", "integer", "float", "string", "data", "array", "object".
const char *to_string(ConfigKind kind);

class ConfigValue {
  public:
    using Members = OrderedMap<DynamicString, ConfigValue>;

    /// A nil value whose storage comes from `allocator`.
    explicit ConfigValue(Allocator &allocator);
    /// A deep copy with `other`'s allocator.
    ConfigValue(const ConfigValue &other);
    /// A deep copy with `allocator`.
    ConfigValue(const ConfigValue &other, Allocator &allocator);
    ConfigValue(ConfigValue &&other) noexcept;
    ConfigValue &operator=(const ConfigValue &other)
    {
        copy(other);
        return *this;
    }
    ConfigValue &operator=(ConfigValue &&other) noexcept;
    ~ConfigValue();

    Allocator &allocator() const { return _items.allocator(); }
    ConfigKind kind() const { return _kind; }
    bool is_nil() const { return _kind == ConfigKind::Nil; }

    /// Deep copy of `other` (which may be a value inside this one) with this value's
    /// allocator.
    void copy(const ConfigValue &other);

    // Scalars. Each setter sets the kind and its field; other fields stay as they are.
    void set_nil() { _kind = ConfigKind::Nil; }
    void set_bool(bool value);
    void set_integer(i32 value);
    void set_float(f32 value);
    /// Kind string; the text (null: empty) is copied with the value's allocator.
    void set_string(const char *text);
    /// Kind string with exactly `length` bytes of `text`.
    void set_string(const char *text, u32 length);
    /// Kind byte data; the bytes are copied.
    void set_data(const u8 *bytes, u32 size_bytes);

    /// The bool byte (meaningful for kind bool).
    bool to_bool() const { return _bool != 0; }
    /// The integer field (meaningful for kind integer).
    i32 to_integer() const { return _integer; }
    /// Kind float: the float value; any other kind: the integer field converted.
    f32 to_float() const { return _kind == ConfigKind::Float ? _float : f32(_integer); }
    /// The text field (meaningful for kind string).
    const char *to_string() const { return _text.c_str(); }
    const DynamicString &text() const { return _text; }
    const Array<u8> &data() const { return _data; }

    // Arrays.
    /// Kind array with no items.
    void set_array();
    /// Item `i`; makes the value an array first (emptied) if it is not one, and grows
    /// it with nil items to i + 1 when needed. Aborts only when memory runs out.
    ConfigValue &element(u32 i);
    /// Appends a nil item (making the value an array first if needed) and returns it.
    ConfigValue &push_back();
    /// The items (meaningful for kind array).
    const Array<ConfigValue> &items() const { return _items; }

    // Objects.
    /// Kind object with no members.
    void set_object();
    /// The member `key`, inserted as nil when absent; makes the value an object first
    /// (emptied) if it is not one.
    ConfigValue &member(const char *key);
    /// The member `key` of an object, or null; changes nothing.
    ConfigValue *find(const char *key);
    const ConfigValue *find(const char *key) const;
    bool has(const char *key) const { return find(key) != nullptr; }
    /// The members in key order (meaningful for kind object).
    const Members &members() const { return _members; }

    /// Items of an array or members of an object; 0 for other kinds.
    u32 count() const;

    /// Takes a flat value: bool, integer, float and string take the scalar, a flat array
    /// becomes an array and a flat object an object with each element or member converted,
    /// anything else nil. Shared or cyclic records in a damaged blob are cut off (logged)
    /// rather than followed for ever.
    void assign_const(ConstConfigValue value);
    /// Sets (inserts or replaces) the member of each key of the flat object `object`.
    void merge_const(ConstConfigValue object);

    /// True when `condition` is nil or has no members, or when every member of
    /// `condition` exists in `settings` with an equal value (bool, integer, string,
    /// float; an integer setting compared with a float as a float).
    static bool matches(const ConfigValue &settings, ConstConfigValue condition);

  private:
    struct ConstBudget;
    void assign_const(ConstConfigValue value, ConstBudget &budget, u32 depth);
    void make_array();
    void make_object();

    // Field order follows the stored description of a config value.
    ConfigKind _kind = ConfigKind::Nil;
    Members _members;
    Array<ConfigValue> _items;
    DynamicString _text;
    Array<u8> _data;
    f32 _float = 0;
    i32 _integer = 0;
    u8 _bool = 0;
};

/// Allocates a nil root from `allocator`; null when the allocation fails.
ConfigValue *create_config_root(Allocator &allocator);
/// Destroys a root made by `create_config_root` and everything in it. Null is ignored.
void destroy_config_root(ConfigValue *root);

} // namespace tallow
