#include "tools/source_check.h"

#include "foundation/config/config_text_parser.h"
#include "foundation/config/config_value.h"
#include "foundation/memory/memory_globals.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace tallow {

namespace {

enum class TokenKind { String, Word, Equals, Other };

struct Token {
    TokenKind kind;
    std::string text;
    u32 line;
};

bool is_separator(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ','; }

// The lexical rules of the config text parser, enough to tell keys, strings and comments
// apart and count lines.
std::vector<Token> tokenize(const char *p, const char *end)
{
    std::vector<Token> tokens;
    u32 line = 1;
    while (p < end) {
        char c = *p;
        if (c == '\n') {
            ++line;
            ++p;
        } else if (is_separator(c)) {
            ++p;
        } else if (c == '/' && p + 1 < end && p[1] == '/') {
            while (p < end && *p != '\n')
                ++p;
        } else if (c == '/' && p + 1 < end && p[1] == '*') {
            p += 2;
            while (p < end && !(*p == '*' && p + 1 < end && p[1] == '/'))
                line += *p++ == '\n';
            p = p < end ? p + 2 : end;
        } else if (c == '"') {
            u32 start = line;
            std::string text;
            if (end - p >= 3 && p[1] == '"' && p[2] == '"') {
                p += 3;
                while (p < end && !(end - p >= 3 && p[0] == '"' && p[1] == '"' && p[2] == '"')) {
                    line += *p == '\n';
                    text += *p++;
                }
                p = p < end ? p + 3 : end;
            } else {
                ++p;
                while (p < end && *p != '"') {
                    if (*p == '\\' && p + 1 < end)
                        ++p;
                    line += *p == '\n';
                    text += *p++;
                }
                p = p < end ? p + 1 : end;
            }
            tokens.push_back({TokenKind::String, text, start});
        } else if (c == '=') {
            tokens.push_back({TokenKind::Equals, "=", line});
            ++p;
        } else if (c == '{' || c == '}' || c == '[' || c == ']') {
            tokens.push_back({TokenKind::Other, std::string(1, c), line});
            ++p;
        } else {
            const char *start = p;
            while (p < end && !is_separator(*p) && *p != '=' && *p != '{' && *p != '}' && *p != '[' && *p != ']')
                ++p;
            tokens.push_back({TokenKind::Word, std::string(start, p), line});
        }
    }
    return tokens;
}

bool unreadable_below(const ConfigValue &value, const std::string &key, std::string &out_key)
{
    switch (value.kind()) {
    case ConfigKind::Nil:
        out_key = key;
        return true;
    case ConfigKind::Array:
        for (const ConfigValue &item : value.items())
            if (unreadable_below(item, key, out_key))
                return true;
        return false;
    case ConfigKind::Object:
        for (const auto &member : value.members())
            if (unreadable_below(member.value, member.key.c_str(), out_key))
                return true;
        return false;
    default:
        return false;
    }
}

} // namespace

const char *unknown_key(const ConfigValue &object, std::initializer_list<const char *> known)
{
    if (object.kind() != ConfigKind::Object)
        return nullptr;
    for (const auto &member : object.members()) {
        bool found = false;
        for (const char *k : known)
            found = found || std::strcmp(k, member.key.c_str()) == 0;
        if (!found)
            return member.key.c_str();
    }
    return nullptr;
}

bool find_unreadable_value(const ConfigValue &root, std::string &out_key)
{
    return unreadable_below(root, "", out_key);
}

bool find_unreadable_word(const char *text, u64 size, std::string &out_word, u32 &out_line)
{
    std::vector<Token> tokens = tokenize(text, text + size);
    for (size_t i = 0; i < tokens.size(); ++i) {
        const Token &t = tokens[i];
        if (t.kind != TokenKind::Word || (i + 1 < tokens.size() && tokens[i + 1].kind == TokenKind::Equals))
            continue;
        if (t.text == "true" || t.text == "false" || t.text == "null")
            continue;
        char *end = nullptr;
        std::strtod(t.text.c_str(), &end);
        if (end && *end == '\0' && end != t.text.c_str())
            continue;
        out_word = t.text;
        out_line = t.line;
        return true;
    }
    return false;
}

u32 find_string_line(const char *text, u64 size, const std::string &value)
{
    for (const Token &t : tokenize(text, text + size))
        if (t.kind == TokenKind::String && t.text == value)
            return t.line;
    return 0;
}

u32 find_value_line(const char *text, u64 size, const std::string &key, const std::string &value)
{
    std::vector<Token> tokens = tokenize(text, text + size);
    std::string member;
    for (size_t i = 0; i < tokens.size(); ++i) {
        const Token &t = tokens[i];
        if ((t.kind == TokenKind::Word || t.kind == TokenKind::String) && i + 1 < tokens.size() &&
            tokens[i + 1].kind == TokenKind::Equals) {
            member = t.text;
            ++i;
            continue;
        }
        if (t.kind == TokenKind::String && t.text == value && (key.empty() || member == key))
            return t.line;
    }
    return 0;
}

u32 find_key_line(const char *text, u64 size, const std::string &key)
{
    std::vector<Token> tokens = tokenize(text, text + size);
    for (size_t i = 0; i + 1 < tokens.size(); ++i)
        if ((tokens[i].kind == TokenKind::Word || tokens[i].kind == TokenKind::String) &&
            tokens[i + 1].kind == TokenKind::Equals && tokens[i].text == key)
            return tokens[i].line;
    return 0;
}

u32 source_line_of(const char *text, u64 size, const std::string &message)
{
    size_t open = message.find('\'');
    size_t close = open == std::string::npos ? open : message.find('\'', open + 1);
    if (close == std::string::npos)
        return 0;
    std::string name = message.substr(open + 1, close - open - 1);
    if (u32 line = find_string_line(text, size, name))
        return line;
    return find_key_line(text, size, name);
}

std::string with_source_line(const char *text, u64 size, const std::string &message)
{
    u32 line = source_line_of(text, size, message);
    return line ? std::to_string(line) + ": " + message : message;
}

ConfigValue *parse_source_text(const char *text, u64 size, std::string &out_error)
{
    std::string word;
    u32 line = 0;
    if (find_unreadable_word(text, size, word, line)) {
        out_error = std::to_string(line) + ": '" + word + "' is not a value config text reads";
        return nullptr;
    }
    ConfigValue *root = create_config_root(default_allocator());
    parse_config_text(text, text + size, *root);
    std::string key;
    if (find_unreadable_value(*root, key)) {
        destroy_config_root(root);
        out_error = with_source_line(text, size, "the value of '" + key + "' cannot be read");
        return nullptr;
    }
    return root;
}

} // namespace tallow
