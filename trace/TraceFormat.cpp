/* Formatting of trace texts for the instrumented units. */
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "trace/Trc1.h"

/* Characters that may stand between '%' and the conversion character. */
static const char ModifierChars[] = "-+ #0'I123456789.*hlLqjzt";

/* format in terms that the C library defines: the '#' flag dropped from every
 * "%p" conversion ("%p" already writes the 0x), and a conversion cut off by the
 * end of the format written as text. */
static std::string DefinedFormat(const char *format)
{
    std::string plain;
    for (const char *at = format; *at != '\0';) {
        if (*at != '%') {
            plain.push_back(*at++);
            continue;
        }
        const char *conversion = at + 1;
        while (*conversion != '\0' && strchr(ModifierChars, *conversion) != nullptr)
            ++conversion;
        if (*conversion == '\0') {
            plain.append("%%").append(at + 1);
            break;
        }
        for (; at <= conversion; ++at) {
            if (*at != '#' || *conversion != 'p')
                plain.push_back(*at);
        }
    }
    return plain;
}

char *qlxFormatArgs(const char *format, ...) noexcept
{
    if (format == nullptr)
        return nullptr;
    std::string defined;
    try {
        defined = DefinedFormat(format);
    } catch (...) {
        return nullptr;
    }

    va_list values;
    va_start(values, format);
    va_list again;
    va_copy(again, values);
    int length = vsnprintf(nullptr, 0, defined.c_str(), values);
    va_end(values);
    char *text =
        length >= 0 ? static_cast<char *>(malloc(static_cast<size_t>(length) + 1)) : nullptr;
    if (text != nullptr)
        (void)vsnprintf(text, static_cast<size_t>(length) + 1, defined.c_str(), again);
    va_end(again);
    return text;
}

void qlxFreeFormatMem(char *text) noexcept
{
    free(text);
}
