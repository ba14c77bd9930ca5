#include "foundation/config/config_text_parser.h"

#include "foundation/log.h"
#include "foundation/memory/temp_allocator.h"
#include "foundation/strings/utf.h"

#include <cmath>

namespace tallow {

namespace {

constexpr u32 max_depth = 200;

bool is_space(u8 c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ','; }
bool is_digit(u8 c) { return c >= '0' && c <= '9'; }

int hex_value(u8 c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

class Parser {
  public:
    Parser(const char *begin, const char *end, Allocator &scratch)
        : _p(reinterpret_cast<const u8 *>(begin)), _end(reinterpret_cast<const u8 *>(end)), _scratch(scratch)
    {
    }

    void parse_root(ConfigValue &root)
    {
        root.set_object();
        skip_space();
        while (_p < _end) {
            const u8 *before = _p;
            parse_member(root, 0);
            skip_space();
            if (_p == before) {
                ++_p;
                skip_space();
            }
        }
    }

  private:
    // Whitespace, commas and comments. A "/" that starts no comment stops the skip.
    void skip_space()
    {
        while (_p < _end) {
            if (is_space(*_p)) {
                ++_p;
            } else if (*_p == '/' && _end - _p >= 2 && _p[1] == '/') {
                _p += 2;
                while (_p < _end && *_p++ != '\n') {
                }
            } else if (*_p == '/' && _end - _p >= 2 && _p[1] == '*') {
                _p += 2;
                while (_p < _end && !(*_p == '*' && _end - _p >= 2 && _p[1] == '/'))
                    ++_p;
                _p = _end - _p >= 2 ? _p + 2 : _end;
            } else {
                return;
            }
        }
    }

    void skip(u32 n) { _p = u32(_end - _p) > n ? _p + n : _end; }

    void parse_member(ConfigValue &object, u32 depth)
    {
        _scratch.resize(0);
        if (_p < _end && *_p == '"') {
            read_string();
        } else {
            while (_p < _end && *_p != ' ' && *_p != '\t' && *_p != '\n' && *_p != '=')
                _scratch.push_back(char(*_p++));
        }
        _scratch.push_back(0);
        // The member exists (nil) before its value is read, so the value is parsed in
        // place and not copied.
        ConfigValue &value = object.member(_scratch.data());
        value.set_nil();
        skip_space();
        skip(1); // the "=", whatever it is
        skip_space();
        parse_value(value, depth);
    }

    void parse_value(ConfigValue &value, u32 depth)
    {
        if (_p >= _end)
            return;
        u8 c = *_p;
        if ((c == '{' || c == '[') && depth >= max_depth) {
            if (!_depth_logged)
                log_message("config", "config text nested deeper than %u levels; the rest of that value is dropped",
                            max_depth);
            _depth_logged = true;
            skip_nested_value(); // left as nil, contents and all
            return;
        }
        if (c == '{') {
            ++_p;
            value.set_object();
            skip_space();
            while (_p < _end && *_p != '}') {
                const u8 *before = _p;
                parse_member(value, depth + 1);
                skip_space();
                if (_p == before) {
                    ++_p;
                    skip_space();
                }
            }
            skip(1);
        } else if (c == '[') {
            ++_p;
            value.set_array();
            skip_space();
            while (_p < _end && *_p != ']') {
                const u8 *before = _p;
                ConfigValue &item = value.push_back();
                parse_value(item, depth + 1);
                skip_space();
                if (_p == before) {
                    ++_p; // a byte that starts no value: its item stays nil
                    skip_space();
                }
            }
            skip(1);
        } else if (c == '"') {
            _scratch.resize(0);
            read_string();
            value.set_string(_scratch.data(), _scratch.size());
        } else if (c == '-' || is_digit(c)) {
            parse_number(value);
        } else if (c == 't') {
            value.set_bool(true);
            skip(4);
        } else if (c == 'f') {
            value.set_bool(false);
            skip(5);
        } else if (c == 'n') {
            value.set_nil();
            skip(4);
        }
    }

    // Passes over the bracketed value at _p, strings and comments included, so none of
    // its contents lands in the parent.
    void skip_nested_value()
    {
        u32 open = 0;
        while (_p < _end) {
            skip_space();
            if (_p >= _end)
                return;
            u8 c = *_p;
            if (c == '"') {
                _scratch.resize(0);
                read_string();
                continue;
            }
            ++_p;
            if (c == '{' || c == '[')
                ++open;
            else if ((c == '}' || c == ']') && --open == 0)
                return;
        }
    }

    // Appends a quoted or long string's bytes to the scratch array; _p is at its quote.
    void read_string()
    {
        if (_end - _p >= 3 && _p[1] == '"' && _p[2] == '"') {
            _p += 3;
            while (_p < _end && !(*_p == '"' && _end - _p >= 3 && _p[1] == '"' && _p[2] == '"'))
                _scratch.push_back(char(*_p++));
            skip(3);
            return;
        }
        ++_p;
        while (_p < _end && *_p != '"') {
            u8 c = *_p++;
            if (c != '\\') {
                _scratch.push_back(char(c));
                continue;
            }
            if (_p >= _end)
                break;
            c = *_p++;
            switch (c) {
            case '"':
            case '\\':
            case '/':
                _scratch.push_back(char(c));
                break;
            case 'b': _scratch.push_back('\b'); break;
            case 'f': _scratch.push_back('\f'); break;
            case 'n': _scratch.push_back('\n'); break;
            case 'r': _scratch.push_back('\r'); break;
            case 't': _scratch.push_back('\t'); break;
            case 'u': {
                u32 code_point = 0;
                for (int i = 0; i < 4 && _p < _end && hex_value(*_p) >= 0; ++i)
                    code_point = code_point * 16 + u32(hex_value(*_p++));
                if (code_point != 0) {
                    char bytes[4];
                    char *stop = utf8_encode(code_point, bytes);
                    for (char *b = bytes; b < stop; ++b)
                        _scratch.push_back(*b);
                }
                break;
            }
            default:
                break; // unknown escapes vanish
            }
        }
        skip(1);
    }

    void parse_number(ConfigValue &value)
    {
        bool negative = false;
        if (*_p == '-') {
            negative = true;
            ++_p;
        }
        // Accumulates with 32-bit wrap-around (no overflow check), without signed overflow.
        u32 integer = 0;
        if (_p < _end && *_p == '0') {
            ++_p;
        } else {
            while (_p < _end && is_digit(*_p))
                integer = integer * 10 + u32(*_p++ - '0');
        }
        f32 fraction = 0;
        if (_p < _end && *_p == '.') {
            ++_p;
            u32 divisor = 1;
            u32 place = 0;
            while (_p < _end && is_digit(*_p)) {
                u32 digit = u32(*_p++ - '0');
                if (++place <= 9) { // 10^10 no longer fits the 32-bit divisor
                    divisor *= 10;
                    fraction = fraction + f32(digit) / f32(divisor);
                }
            }
        }
        i32 exponent = 0;
        if (_p < _end && (*_p == 'e' || *_p == 'E')) {
            ++_p;
            bool negative_exponent = false;
            if (_p < _end && (*_p == '-' || *_p == '+'))
                negative_exponent = *_p++ == '-';
            while (_p < _end && is_digit(*_p)) {
                i32 digit = *_p++ - '0';
                if (exponent < 100000) // far past float range; keeps the sum in range
                    exponent = exponent * 10 + digit;
            }
            if (negative_exponent)
                exponent = -exponent;
        }
        i32 whole = i32(negative ? 0u - integer : integer);
        if (negative)
            fraction = -fraction;
        if (fraction == 0 && exponent == 0) {
            value.set_integer(whole);
            return;
        }
        f32 scale = f32(std::pow(10.0, f64(exponent)));
        value.set_float(scale * (f32(whole) + fraction));
    }

    const u8 *_p;
    const u8 *_end;
    Array<char> _scratch; // the key or string being read
    bool _depth_logged = false;

};

} // namespace

void parse_config_text(const char *begin, const char *end, ConfigValue &root)
{
    TempAllocator scratch;
    if (!begin || end < begin)
        end = begin;
    Parser parser(begin, end, scratch);
    parser.parse_root(root);
}

} // namespace tallow
