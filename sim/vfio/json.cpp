// Just enough JSON for the version handshake: the text must be well formed (RFC 8259), one object
// at the top, and its "capabilities" member, when there is one, an object. Nothing in it changes
// what the server does: it sends no file descriptors and no transfer larger than 256 bytes, so
// none of the client's limits can bind it.
#include <cstring>
#include <string_view>

#include "sim/vfio/server.h"

namespace vfio_user {
namespace {

constexpr int MAX_DEPTH = 32;  // deeper nesting is refused rather than recursed into

struct Parser {
    std::string_view text;
    size_t pos = 0;
    int depth = 0;

    bool at_end() const
    {
        return pos >= text.size();
    }
    char peek() const
    {
        return at_end() ? '\0' : text[pos];
    }

    void skip_blanks()
    {
        while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r'))
            ++pos;
    }

    bool take(char c)
    {
        skip_blanks();
        if (peek() != c)
            return false;
        ++pos;
        return true;
    }

    bool literal(const char *word)
    {
        const size_t n = std::strlen(word);
        if (text.substr(pos, n) != word)
            return false;
        pos += n;
        return true;
    }

    bool digits()
    {
        const size_t start = pos;
        while (!at_end() && peek() >= '0' && peek() <= '9')
            ++pos;
        return pos > start;
    }

    bool number()
    {
        if (peek() == '-')
            ++pos;
        if (peek() == '0')
            ++pos;
        else if (!digits())
            return false;
        if (peek() == '.' && (++pos, !digits()))
            return false;
        if (peek() == 'e' || peek() == 'E') {
            ++pos;
            if (peek() == '+' || peek() == '-')
                ++pos;
            if (!digits())
                return false;
        }
        return true;
    }

    bool hex4()
    {
        for (int i = 0; i < 4; ++i, ++pos) {
            const char c = peek();
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
                return false;
        }
        return true;
    }

    // A string, its opening quote already seen; `out` gets its text when it has no escapes.
    bool string(std::string_view *out = nullptr)
    {
        const size_t start = pos;
        bool escaped = false;
        while (!at_end()) {
            const unsigned char c = static_cast<unsigned char>(text[pos++]);
            if (c == '"') {
                if (out)
                    *out = escaped ? std::string_view() : text.substr(start, pos - 1 - start);
                return true;
            }
            if (c < 0x20)
                return false;
            if (c == '\\') {
                escaped = true;
                const char e = peek();
                ++pos;
                if (e == 'u') {
                    if (!hex4())
                        return false;
                } else if (e == '\0' || !std::strchr("\"\\/bfnrt", e)) {
                    return false;
                }
            }
        }
        return false;
    }

    // Any value; `kind` gets its first character ('{', '[', '"', 'n'umber or literal's letter).
    bool value(char *kind = nullptr)
    {
        skip_blanks();
        const char c = peek();
        if (kind)
            *kind = c == '-' || (c >= '0' && c <= '9') ? 'n' : c;
        if (c == '{')
            return ++pos, object(false);
        if (c == '[')
            return ++pos, array();
        if (c == '"')
            return ++pos, string();
        if (c == 't')
            return literal("true");
        if (c == 'f')
            return literal("false");
        if (c == 'n')
            return literal("null");
        return number();
    }

    bool array()
    {
        if (++depth > MAX_DEPTH)
            return false;
        if (!take(']')) {
            do {
                if (!value())
                    return false;
            } while (take(','));
            if (!take(']'))
                return false;
        }
        --depth;
        return true;
    }

    // An object, its brace already seen. At the top, "capabilities" must hold an object.
    bool object(bool top)
    {
        if (++depth > MAX_DEPTH)
            return false;
        if (!take('}')) {
            do {
                std::string_view key;
                char kind = 0;
                if (!take('"') || !string(&key) || !take(':') || !value(&kind))
                    return false;
                if (top && key == "capabilities" && kind != '{')
                    return false;
            } while (take(','));
            if (!take('}'))
                return false;
        }
        --depth;
        return true;
    }
};

}  // namespace

bool valid_version_json(const char *text, size_t len)
{
    Parser p{std::string_view(text, len)};
    if (!p.take('{') || !p.object(true))
        return false;
    p.skip_blanks();
    return p.at_end();
}

}  // namespace vfio_user
