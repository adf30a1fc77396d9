#include "tests/support/JsonReader.h"

#include <string>

#include <gtest/gtest.h>

namespace {

using tfxtest::JsonValue;
using tfxtest::ParseJson;

/* The reader takes every kind of value and keeps numbers as written. */
TEST(JsonReader, ReadsEveryKindOfValue)
{
    JsonValue value;
    std::string error;
    ASSERT_TRUE(
        ParseJson(" {\"a\":[1,-2.5e3,true,false,null,\"x\\u00e9\\ud83d\\ude00\\n\"],\"b\":{}} ",
                  &value, &error))
        << error;
    EXPECT_EQ(value["a"][0].AsUint64(), 1u);
    EXPECT_EQ(value["a"][1].Number, -2500.0);
    EXPECT_TRUE(value["a"][2].Boolean);
    EXPECT_FALSE(value["a"][3].Boolean);
    EXPECT_TRUE(value["a"][4].IsNull());
    EXPECT_EQ(value["a"][5].Text, "x\xc3\xa9\xf0\x9f\x98\x80\n");
    EXPECT_TRUE(value.Has("b"));
    EXPECT_FALSE(value.Has("c"));
    EXPECT_TRUE(value["c"].IsNull());
}

/* Anything that is not strict JSON is refused, with where it went wrong. */
TEST(JsonReader, RefusesWhatIsNotJson)
{
    for (const char *bad :
         {"", "{", "[1,]", "{\"a\":1,}", "01", "1.", "NaN", "Infinity", "[1 2]", "\"a\tb\"",
          "\"\\x\"", "\"\\ud800\"", "{a:1}", "{} {}", "\"\xff\"", "\"\xc0\xaf\"", "tru"}) {
        JsonValue value;
        std::string error;
        EXPECT_FALSE(ParseJson(bad, &value, &error)) << bad;
        EXPECT_EQ(error.rfind("offset ", 0), 0u) << bad;
    }
}

} // namespace
