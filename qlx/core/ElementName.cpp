#include "qlx/core/ElementName.h"

#include <cstdio>

namespace qlx {

uint64_t Fnv1a(const uint8_t *bytes, size_t size)
{
    uint64_t hash = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < size; ++i) {
        hash ^= bytes[i];
        hash *= 0x100000001b3ull;
    }
    return hash;
}

static bool IsPlainCharacter(char ch)
{
    return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
           ch == '.' || ch == '_' || ch == '-';
}

static bool IsPlainName(const char *name, size_t length)
{
    if (length == 0 || length > PlainNameLimit)
        return false;
    if ((length == 1 && name[0] == '.') || (length == 2 && name[0] == '.' && name[1] == '.'))
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (!IsPlainCharacter(name[i]))
            return false;
    }
    return true;
}

std::string HashedFileNameFor(const char *name, size_t length)
{
    char text[18];
    uint64_t hash = Fnv1a(reinterpret_cast<const uint8_t *>(name), length);
    (void)snprintf(text, sizeof text, "h%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::string FileNameFor(const char *name, size_t length)
{
    if (IsPlainName(name, length))
        return std::string(name, length);
    return HashedFileNameFor(name, length);
}

std::string PrintableName(const char *name, size_t length)
{
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        unsigned char ch = static_cast<unsigned char>(name[i]);
        if (ch >= 0x20 && ch < 0x7f) {
            text += static_cast<char>(ch);
            continue;
        }
        char escaped[5];
        (void)snprintf(escaped, sizeof escaped, "\\x%02x", ch);
        text += escaped;
    }
    return text;
}

} // namespace qlx
