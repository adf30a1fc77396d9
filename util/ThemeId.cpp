#include "util/ThemeId.h"

#include <cstring>

#include "trace/TfxanutlTrace.h"

static const unsigned IdBytes = 24;
static const char bin2hex[] = "0123456789ABCDEF";

void ConvertThemeId(char *text, const unsigned char *id)
{
    for (unsigned i = 0; i < IdBytes; ++i) {
        text[2 * i] = bin2hex[id[i] >> 4];
        text[2 * i + 1] = bin2hex[id[i] & 0x0F];
    }
}

/* Ranges of the character codes themselves, not the locale's classes. */
static unsigned DigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<unsigned>(c - '0');
    if (c >= 'A' && c <= 'F')
        return static_cast<unsigned>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f')
        return static_cast<unsigned>(c - 'a' + 10);
    return 0;
}

void RevertThemeId(const char *text, unsigned char *id)
{
    for (unsigned i = 0; i < IdBytes; ++i)
        id[i] =
            static_cast<unsigned char>(DigitValue(text[2 * i]) << 4 | DigitValue(text[2 * i + 1]));
}

void PrintThemeId(const unsigned char *id)
{
    constinit static TRC1_FunctionBlock Trace = TraceFunction(TfxanutlTrace, "PrintThemeId", 747);
    TraceEntry(TfxanutlTrace, Trace, "(%#p)", id);
    char text[2 * IdBytes + 1];
    ConvertThemeId(text, id);
    text[2 * IdBytes] = '\0';
    TraceDetail(TfxanutlTrace, 751, "Theme Id: %s", text);
    TraceExit(TfxanutlTrace, 752);
}

/* Ends with the "Exit with" detail line and writes no exit event. */
int CompareThemeId(const unsigned char *id1, const unsigned char *id2)
{
    constinit static TRC1_FunctionBlock Trace = TraceFunction(TfxanutlTrace, "CompareThemeId", 768);
    TraceEntry(TfxanutlTrace, Trace, "(%#p, %#p)", id1, id2);
    char text[2 * IdBytes + 1];
    ConvertThemeId(text, id1);
    text[2 * IdBytes] = '\0';
    TraceDetail(TfxanutlTrace, 772, "Theme Id 1: %s", text);
    ConvertThemeId(text, id2);
    text[2 * IdBytes] = '\0';
    TraceDetail(TfxanutlTrace, 775, "Theme Id 2: %s", text);
    int result = memcmp(id1, id2, IdBytes);
    TraceDetail(TfxanutlTrace, 778, "Exit with %X", static_cast<unsigned>(result));
    return result;
}
