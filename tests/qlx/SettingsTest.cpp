#include "qlx/core/Settings.h"

#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "qlx/core/MemoryBudget.h"
#include "qlx/zmq/ZmqConnectionLimit.h"
#include "tests/qlx/QlxHarness.h"

namespace {

using qlxtest::LastPrimaryText;

/* How each setting is read, as a number: the switch gives 0 or 1, the
 * connection limit 0 (its ceiling depends on the descriptors open). */
bool ReadLimit(uint64_t *value)
{
    return qlx::ReadMemoryLimit(value);
}
bool ReadPlaintext(uint64_t *value)
{
    bool on = false;
    bool read = qlx::ReadSwitchSetting("QLX_ALLOW_PLAINTEXT", &on);
    *value = on ? 1 : 0;
    return read;
}
bool ReadConnections(uint64_t *value)
{
    *value = 0;
    return qlx::LimitConnections();
}

struct SettingCase {
    const char *Variable;
    const char *Text;
    uint64_t Value;    /* what it gives, when Error is empty */
    std::string Error; /* the failure's text */
};

bool (*ReaderOf(const std::string &variable))(uint64_t *)
{
    if (variable == "QLX_MEMORY_LIMIT")
        return ReadLimit;
    return variable == "QLX_ALLOW_PLAINTEXT" ? ReadPlaintext : ReadConnections;
}

std::ostream &operator<<(std::ostream &out, const SettingCase &c)
{
    return out << c.Variable << "=" << c.Text;
}

class Settings : public qlxtest::QlxTest, public testing::WithParamInterface<SettingCase> {};

/* Each setting is read whole: a value in range, or a text that names the
 * variable, the value and what is expected. */
TEST_P(Settings, AreReadWholeOrRefusedWithAText)
{
    const SettingCase &c = GetParam();
    (void)setenv(c.Variable, c.Text, 1);
    uint64_t value = 0;
    bool read = ReaderOf(c.Variable)(&value);
    EXPECT_EQ(read, c.Error.empty());
    if (read)
        EXPECT_EQ(value, c.Value);
    else
        EXPECT_EQ(LastPrimaryText(), c.Error);
}

INSTANTIATE_TEST_SUITE_P(
    Values, Settings,
    testing::Values(
        SettingCase{"QLX_MEMORY_LIMIT", "", qlx::DefaultMemoryLimit, ""},
        SettingCase{"QLX_MEMORY_LIMIT", "536870912", 512u << 20, ""},
        SettingCase{"QLX_MEMORY_LIMIT", "64M", 64u << 20, ""},
        SettingCase{"QLX_MEMORY_LIMIT", "2g", 2ull << 30, ""},
        SettingCase{"QLX_MEMORY_LIMIT", "16384K", 16u << 20, ""},
        SettingCase{"QLX_MEMORY_LIMIT", "12X", 0,
                    "QLX_MEMORY_LIMIT=12X is not a size: give bytes, or a number with K, M or G "
                    "(as 512M) (45)"},
        SettingCase{"QLX_MEMORY_LIMIT", "1MB", 0,
                    "QLX_MEMORY_LIMIT=1MB is not a size: give bytes, or a number with K, M or G "
                    "(as 512M) (45)"},
        SettingCase{"QLX_MEMORY_LIMIT", "99999999999999999999", 0,
                    "QLX_MEMORY_LIMIT=99999999999999999999 is not a size: give bytes, or a "
                    "number with K, M or G (as 512M) (45)"},
        SettingCase{"QLX_MEMORY_LIMIT", "4M", 0,
                    "QLX_MEMORY_LIMIT=4M is out of range: give 8M to 1024G (45)"},
        SettingCase{"QLX_MEMORY_LIMIT", "17592186044416G", 0,
                    "QLX_MEMORY_LIMIT=17592186044416G is out of range: give 8M to 1024G (45)"},
        SettingCase{"QLX_MAX_CONNECTIONS", "500", 0, ""},
        SettingCase{"QLX_MAX_CONNECTIONS", "0", 0,
                    "QLX_MAX_CONNECTIONS=0 is out of range: give 1 to 1000000 (45)"},
        SettingCase{"QLX_MAX_CONNECTIONS", "ten", 0,
                    "QLX_MAX_CONNECTIONS=ten is not a number (45)"},
        SettingCase{"QLX_ALLOW_PLAINTEXT", "1", 1, ""},
        SettingCase{"QLX_ALLOW_PLAINTEXT", "0", 0, ""},
        SettingCase{"QLX_ALLOW_PLAINTEXT", "yes", 0,
                    "QLX_ALLOW_PLAINTEXT=yes is not a switch: set it to 1 or 0, or leave it "
                    "unset (45)"}));

} // namespace
