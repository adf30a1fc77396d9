/* A small strict JSON reader for tests: parses a whole text (RFC 8259) into
 * a tree, and says where a text that is not valid JSON goes wrong. */
#ifndef TFX_TESTS_SUPPORT_JSONREADER_H
#define TFX_TESTS_SUPPORT_JSONREADER_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tfxtest {

class JsonValue {
  public:
    enum class Type { Null, Bool, Number, String, Array, Object };

    Type Kind = Type::Null;
    bool Boolean = false;
    double Number = 0.0;
    std::string Text; /* a string's value, or a number as written */
    std::vector<JsonValue> Items;
    std::vector<std::pair<std::string, JsonValue>> Members;

    bool IsNull() const { return Kind == Type::Null; }
    bool Has(const std::string &key) const;
    /* The member named key, or a null value when there is none. */
    const JsonValue &operator[](const std::string &key) const;
    /* The array element at index, or a null value past the end. */
    const JsonValue &operator[](size_t index) const;
    /* A whole number exactly as written; 0 for anything else. */
    uint64_t AsUint64() const;
};

/* Parses text, which must hold exactly one JSON value and white space. On
 * failure returns false and sets *error to the byte offset and the fault. */
bool ParseJson(const std::string &text, JsonValue *value, std::string *error);

} // namespace tfxtest

#endif
