#include "util/PlatformName.h"

#include <cstring>

#include "trace/TfxanutlTrace.h"
#include "util/Padding.h"

static const struct {
    uint32_t Code;
    const char *Name;
} Platforms[] = {
    {0x01000000, "Intel Unknown"}, {0x01010000, "Windows NT"}, {0x01020000, "Windows 95/98"},
    {0x02000000, "Unix Unknown"},  {0x02010000, "Unix AIX"},   {0x02020000, "Unix HP"},
    {0x02040000, "Unix Sun"},      {0x02080000, "Unix HP"},    {0x04000000, "MVS Unknown"},
    {0x04010000, "MVS CICS"},      {0x04020000, "MVS Batch"},
};

static const char *PlatformName(uint32_t code)
{
    for (const auto &platform : Platforms) {
        if (platform.Code == code)
            return platform.Name;
    }
    return "Unknown";
}

void EnvToString(uint32_t code, char *dest, uint32_t width)
{
    constinit static TRC1_FunctionBlock Trace = TraceFunction(TfxanutlTrace, "EnvToString", 825);
    TraceEntry(TfxanutlTrace, Trace, "(%X, %#p, %X)", code, dest, width);
    const char *name = PlatformName(code);
    CopyAndPad(dest, name, width, static_cast<uint32_t>(strlen(name)));
    TraceExit(TfxanutlTrace, 865);
}
