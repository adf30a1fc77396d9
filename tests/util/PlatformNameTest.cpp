#include "util/PlatformName.h"

#include <gtest/gtest.h>
#include <ostream>
#include <string>

namespace {

struct PlatformCase {
    uint32_t Code;
    uint32_t Width;
    const char *Field; /* the whole field, then the untouched sentinel */
};

void PrintTo(const PlatformCase &c, std::ostream *out)
{
    *out << "0x" << std::hex << std::uppercase << c.Code << std::dec << " width " << c.Width;
}

class EnvToStringCases : public testing::TestWithParam<PlatformCase> {};

/* The name of the code fills the field, cut to its width or padded with
 * blanks, and nothing after it is written. */
TEST_P(EnvToStringCases, NamesThePlatformInAPaddedField)
{
    const PlatformCase &c = GetParam();
    char dest[24];
    memset(dest, '#', sizeof dest);
    EnvToString(c.Code, dest, c.Width);
    EXPECT_EQ(std::string(dest, c.Width + 1), c.Field);
}

INSTANTIATE_TEST_SUITE_P(PlatformTable, EnvToStringCases,
                         testing::Values(PlatformCase{0x01000000, 16, "Intel Unknown   #"},
                                         PlatformCase{0x01010000, 16, "Windows NT      #"},
                                         PlatformCase{0x01020000, 16, "Windows 95/98   #"},
                                         PlatformCase{0x02000000, 16, "Unix Unknown    #"},
                                         PlatformCase{0x02010000, 16, "Unix AIX        #"},
                                         PlatformCase{0x02020000, 16, "Unix HP         #"},
                                         PlatformCase{0x02040000, 16, "Unix Sun        #"},
                                         PlatformCase{0x02080000, 16, "Unix HP         #"},
                                         PlatformCase{0x04000000, 16, "MVS Unknown     #"},
                                         PlatformCase{0x04010000, 16, "MVS CICS        #"},
                                         PlatformCase{0x04020000, 16, "MVS Batch       #"}));

/* Only the exact codes of the table have names: other variants, other
 * families and stray low bits are all "Unknown". */
INSTANTIATE_TEST_SUITE_P(UnknownCodes, EnvToStringCases,
                         testing::Values(PlatformCase{0x00000000, 16, "Unknown         #"},
                                         PlatformCase{0x01030000, 16, "Unknown         #"},
                                         PlatformCase{0x02030000, 16, "Unknown         #"},
                                         PlatformCase{0x02040001, 16, "Unknown         #"},
                                         PlatformCase{0x03000000, 16, "Unknown         #"},
                                         PlatformCase{0x08000000, 16, "Unknown         #"},
                                         PlatformCase{0xFFFFFFFF, 16, "Unknown         #"}));

INSTANTIATE_TEST_SUITE_P(FieldWidths, EnvToStringCases,
                         testing::Values(PlatformCase{0x02040000, 10, "Unix Sun  #"},
                                         PlatformCase{0x04020000, 12, "MVS Batch   #"},
                                         PlatformCase{0x12345678, 4, "Unkn#"},
                                         PlatformCase{0x01020000, 13, "Windows 95/98#"},
                                         PlatformCase{0x01020000, 7, "Windows#"},
                                         PlatformCase{0x01000000, 0, "#"}));

} // namespace
