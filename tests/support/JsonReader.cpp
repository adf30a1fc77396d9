#include "tests/support/JsonReader.h"

#include <cstdlib>
#include <cstring>

namespace tfxtest {

namespace {

const JsonValue NullValue{};

enum { MaxDepth = 64 };

class Parser {
  public:
    explicit Parser(const std::string &text) : text_(text) {}

    bool Document(JsonValue *value, std::string *error)
    {
        bool ok =
            Value(value, 0) && (SkipBlanks(), at_ == text_.size() || Fault("text after the value"));
        if (!ok)
            *error = "offset " + std::to_string(at_) + ": " + fault_;
        return ok;
    }

  private:
    bool Fault(const char *what)
    {
        if (fault_.empty())
            fault_ = what;
        return false;
    }
    void SkipBlanks()
    {
        while (at_ < text_.size() && strchr(" \t\r\n", text_[at_]) != nullptr && text_[at_] != '\0')
            ++at_;
    }
    bool Literal(const char *word)
    {
        size_t length = strlen(word);
        if (text_.compare(at_, length, word) != 0)
            return Fault("unknown literal");
        at_ += length;
        return true;
    }
    bool Digits()
    {
        size_t start = at_;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9')
            ++at_;
        return at_ > start || Fault("digits expected");
    }
    bool NumberValue(JsonValue *value)
    {
        size_t start = at_;
        if (text_[at_] == '-')
            ++at_;
        if (at_ < text_.size() && text_[at_] == '0')
            ++at_;
        else if (!Digits())
            return false;
        if (at_ < text_.size() && text_[at_] == '.' && (++at_, !Digits()))
            return false;
        if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            ++at_;
            if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-'))
                ++at_;
            if (!Digits())
                return false;
        }
        value->Kind = JsonValue::Type::Number;
        value->Text = text_.substr(start, at_ - start);
        value->Number = strtod(value->Text.c_str(), nullptr);
        return true;
    }
    static void AppendUtf8(std::string *out, uint32_t code)
    {
        if (code < 0x80) {
            *out += static_cast<char>(code);
        } else if (code < 0x800) {
            *out += static_cast<char>(0xC0 | (code >> 6));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            *out += static_cast<char>(0xE0 | (code >> 12));
            *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            *out += static_cast<char>(0xF0 | (code >> 18));
            *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    bool Hex4(uint32_t *code)
    {
        if (at_ + 4 > text_.size())
            return Fault("short \\u escape");
        *code = 0;
        for (int i = 0; i < 4; ++i) {
            char c = text_[at_++];
            int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
            if (digit < 0)
                return Fault("bad \\u escape");
            *code = *code * 16 + static_cast<uint32_t>(digit);
        }
        return true;
    }
    bool Unicode(std::string *out)
    {
        uint32_t code = 0;
        if (!Hex4(&code))
            return false;
        if (code >= 0xDC00 && code <= 0xDFFF)
            return Fault("lone low surrogate");
        if (code >= 0xD800 && code <= 0xDBFF) {
            uint32_t low = 0;
            if (text_.compare(at_, 2, "\\u") != 0)
                return Fault("high surrogate without its low half");
            at_ += 2;
            if (!Hex4(&low) || low < 0xDC00 || low > 0xDFFF)
                return Fault("high surrogate without its low half");
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        AppendUtf8(out, code);
        return true;
    }
    bool Escape(std::string *out)
    {
        static const char From[] = "\"\\/bfnrt";
        static const char To[] = "\"\\/\b\f\n\r\t";
        if (at_ >= text_.size())
            return Fault("unterminated string");
        char c = text_[at_++];
        if (c == 'u')
            return Unicode(out);
        const char *found = c != '\0' ? strchr(From, c) : nullptr;
        if (found == nullptr)
            return Fault("bad escape");
        *out += To[found - From];
        return true;
    }
    bool StringText(std::string *out)
    {
        ++at_;
        for (;;) {
            if (at_ >= text_.size())
                return Fault("unterminated string");
            unsigned char c = static_cast<unsigned char>(text_[at_]);
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c < 0x20)
                return Fault("control character in a string");
            if (c == '\\') {
                ++at_;
                if (!Escape(out))
                    return false;
                continue;
            }
            if (c >= 0x80) {
                if (!Utf8Sequence(out))
                    return false;
                continue;
            }
            *out += static_cast<char>(c);
            ++at_;
        }
    }
    /* One multi-byte UTF-8 character, shortest form, no surrogates. */
    bool Utf8Sequence(std::string *out)
    {
        unsigned char lead = static_cast<unsigned char>(text_[at_]);
        size_t length = (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        if (length == 0 || at_ + length > text_.size())
            return Fault("invalid UTF-8");
        uint32_t code = lead & (0x7F >> length);
        for (size_t i = 1; i < length; ++i) {
            unsigned char next = static_cast<unsigned char>(text_[at_ + i]);
            if ((next >> 6) != 2)
                return Fault("invalid UTF-8");
            code = (code << 6) | (next & 0x3F);
        }
        static const uint32_t Smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < Smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return Fault("invalid UTF-8");
        out->append(text_, at_, length);
        at_ += length;
        return true;
    }
    bool Sequence(JsonValue *value, int depth, char close)
    {
        ++at_;
        SkipBlanks();
        if (at_ < text_.size() && text_[at_] == close) {
            ++at_;
            return true;
        }
        for (;;) {
            SkipBlanks();
            if (close == '}') {
                std::string key;
                if (at_ >= text_.size() || text_[at_] != '"')
                    return Fault("member name expected");
                if (!StringText(&key))
                    return false;
                SkipBlanks();
                if (at_ >= text_.size() || text_[at_] != ':')
                    return Fault("':' expected");
                ++at_;
                value->Members.emplace_back(key, JsonValue{});
                if (!Value(&value->Members.back().second, depth + 1))
                    return false;
            } else {
                value->Items.emplace_back();
                if (!Value(&value->Items.back(), depth + 1))
                    return false;
            }
            SkipBlanks();
            if (at_ < text_.size() && text_[at_] == close) {
                ++at_;
                return true;
            }
            if (at_ >= text_.size() || text_[at_] != ',')
                return Fault("',' or the end of the array or object expected");
            ++at_;
        }
    }
    bool Value(JsonValue *value, int depth)
    {
        if (depth > MaxDepth)
            return Fault("nested too deep");
        SkipBlanks();
        if (at_ >= text_.size())
            return Fault("value expected");
        char c = text_[at_];
        switch (c) {
        case '{':
            value->Kind = JsonValue::Type::Object;
            return Sequence(value, depth, '}');
        case '[':
            value->Kind = JsonValue::Type::Array;
            return Sequence(value, depth, ']');
        case '"':
            value->Kind = JsonValue::Type::String;
            return StringText(&value->Text);
        case 't':
            value->Kind = JsonValue::Type::Bool;
            value->Boolean = true;
            return Literal("true");
        case 'f':
            value->Kind = JsonValue::Type::Bool;
            return Literal("false");
        case 'n':
            return Literal("null");
        default:
            if (c == '-' || (c >= '0' && c <= '9'))
                return NumberValue(value);
            return Fault("value expected");
        }
    }

    const std::string &text_;
    size_t at_ = 0;
    std::string fault_;
};

} // namespace

bool JsonValue::Has(const std::string &key) const
{
    for (const auto &member : Members)
        if (member.first == key)
            return true;
    return false;
}

const JsonValue &JsonValue::operator[](const std::string &key) const
{
    for (const auto &member : Members)
        if (member.first == key)
            return member.second;
    return NullValue;
}

const JsonValue &JsonValue::operator[](size_t index) const
{
    return index < Items.size() ? Items[index] : NullValue;
}

uint64_t JsonValue::AsUint64() const
{
    if (Kind != Type::Number || Text.empty() ||
        Text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return strtoull(Text.c_str(), nullptr, 10);
}

bool ParseJson(const std::string &text, JsonValue *value, std::string *error)
{
    *value = JsonValue{};
    Parser parser(text);
    return parser.Document(value, error);
}

} // namespace tfxtest
