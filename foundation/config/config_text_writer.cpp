#include "foundation/config/config_text_writer.h"

#include <locale>

namespace tallow {

StringStreamBuf::int_type StringStreamBuf::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    if (!_bytes.push_back(traits_type::to_char_type(c)))
        return traits_type::eof();
    return c;
}

std::streamsize StringStreamBuf::xsputn(const char *s, std::streamsize n)
{
    u32 at = _bytes.size();
    if (u64(at) + u64(n) > 0xFFFFFFFFull)
        return 0;
    if (at + u32(n) > _bytes.capacity())
        _bytes.grow(at + u32(n));
    _bytes.resize(at + u32(n));
    if (_bytes.size() != at + u32(n))
        return 0;
    for (std::streamsize i = 0; i < n; ++i)
        _bytes[at + u32(i)] = s[i];
    return n;
}

StringStream::StringStream(Allocator &allocator) : std::ostream(nullptr), _buffer(allocator)
{
    rdbuf(&_buffer);
    imbue(std::locale::classic());
}

namespace {

bool is_bare_key(const char *key)
{
    for (const char *c = key; *c; ++c) {
        bool ok = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') || *c == '_';
        if (!ok)
            return false;
    }
    return true;
}

void write_quoted(std::ostream &out, const char *bytes, u32 size)
{
    out.put('"');
    for (u32 i = 0; i < size; ++i) {
        if (bytes[i] == '"' || bytes[i] == '\\')
            out.put('\\');
        out.put(bytes[i]);
    }
    out.put('"');
}

void write_key(std::ostream &out, const DynamicString &key)
{
    if (is_bare_key(key.c_str()))
        out << key.c_str();
    else
        write_quoted(out, key.c_str(), key.length());
}

void tabs(std::ostream &out, u32 n)
{
    for (u32 i = 0; i < n; ++i)
        out.put('\t');
}

void write_value(std::ostream &out, const ConfigValue &value, u32 depth, bool arrays_on_lines)
{
    switch (value.kind()) {
    case ConfigKind::Nil:
        out << "null";
        break;
    case ConfigKind::Bool:
        out << (value.to_bool() ? "true" : "false");
        break;
    case ConfigKind::Integer:
        out << value.to_integer();
        break;
    case ConfigKind::Float:
        out << value.to_float();
        break;
    case ConfigKind::String:
        write_quoted(out, value.text().c_str(), value.text().length());
        break;
    case ConfigKind::Data:
        write_quoted(out, reinterpret_cast<const char *>(value.data().data()), value.data().size());
        break;
    case ConfigKind::Array:
        out.put('[');
        for (const ConfigValue &item : value.items()) {
            if (arrays_on_lines) {
                out.put('\n');
                tabs(out, depth + 1);
            } else {
                out.put(' ');
            }
            write_value(out, item, depth + 1, arrays_on_lines);
        }
        if (arrays_on_lines) {
            out.put('\n');
            tabs(out, depth);
        } else {
            out.put(' ');
        }
        out.put(']');
        break;
    case ConfigKind::Object:
        out.put('{');
        for (const auto &entry : value.members()) {
            out.put('\n');
            tabs(out, depth + 1);
            write_key(out, entry.key);
            out << " = ";
            write_value(out, entry.value, depth + 1, arrays_on_lines);
        }
        out.put('\n');
        tabs(out, depth);
        out.put('}');
        break;
    }
}

} // namespace

void write_config_text(const ConfigValue &root, std::ostream &stream, bool arrays_on_lines)
{
    if (root.kind() == ConfigKind::Object) {
        for (const auto &entry : root.members()) {
            stream.put('\n');
            write_key(stream, entry.key);
            stream << " = ";
            write_value(stream, entry.value, 0, arrays_on_lines);
        }
    }
    stream.put('\n');
}

} // namespace tallow
