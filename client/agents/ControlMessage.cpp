#include "client/agents/ControlMessage.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum : size_t {
    MacDigits = 64,
    MaxText = 512,    /* of any text member */
    MaxKeyFile = 256, /* a key file is one line */
};

/* The members a type carries beside type, from, name, run and seq. */
enum Member : unsigned {
    ChallengeMember = 1,
    TextMember = 2,
    ExchangeMember = 4,
    IndexMember = 8,
    AgentsMember = 16,
    NsMember = 32,
    FlagMember = 64,
    BodyMember = 128,
};

struct Kind {
    const char *Type;
    unsigned Members;
};

const Kind Kinds[] = {
    {"discover", 0},
    {"here", ChallengeMember | FlagMember},
    {"plan", ChallengeMember | TextMember | IndexMember | AgentsMember | BodyMember},
    {"accepted", 0},
    {"refused", TextMember},
    {"clock", ExchangeMember},
    {"time", ExchangeMember | NsMember},
    {"start", NsMember},
    {"stop", FlagMember},
    {"release", 0},
    {"alive", 0},
    {"interval", IndexMember | BodyMember},
    {"result", BodyMember},
};

const char HexDigits[] = "0123456789abcdef";

int HexValue(char digit)
{
    if (digit >= '0' && digit <= '9')
        return digit - '0';
    if (digit >= 'a' && digit <= 'f')
        return digit - 'a' + 10;
    if (digit >= 'A' && digit <= 'F')
        return digit - 'A' + 10;
    return -1;
}

std::string Mac(const ControlKey &key, const std::string &subject, const char *json, size_t size)
{
    std::string input = subject + "\n";
    input.append(json, size);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (HMAC(EVP_sha256(), key.Bytes.data(), static_cast<int>(key.Bytes.size()),
             reinterpret_cast<const unsigned char *>(input.data()), input.size(), digest,
             &length) == nullptr)
        return std::string(MacDigits, '-'); /* matches no seal */
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += HexDigits[digest[i] >> 4];
        hex += HexDigits[digest[i] & 15];
    }
    return hex;
}

bool Text(const ResultJson &json, const char *name, std::string *value)
{
    auto member = json.find(name);
    if (member == json.end() || !member->is_string())
        return false;
    *value = member->get<std::string>();
    return value->size() <= MaxText;
}

bool Unsigned(const ResultJson &json, const char *name, uint64_t *value)
{
    auto member = json.find(name);
    if (member == json.end() || !member->is_number_unsigned())
        return false;
    *value = member->get<uint64_t>();
    return true;
}

bool Integer(const ResultJson &json, const char *name, int64_t *value)
{
    auto member = json.find(name);
    if (member == json.end() || !member->is_number_integer())
        return false;
    if (member->is_number_unsigned() && member->get<uint64_t>() > INT64_MAX)
        return false;
    *value = member->get<int64_t>();
    return true;
}

/* The members of kind in json, each of its kind; false at the first that is not. */
bool ReadMembers(const ResultJson &json, unsigned members, ControlMessage *message)
{
    bool sane = Text(json, "from", &message->From) && Text(json, "name", &message->Name) &&
                Text(json, "run", &message->Run) && Unsigned(json, "seq", &message->Seq);
    if (sane && (members & ChallengeMember) != 0)
        sane = Text(json, "challenge", &message->Challenge);
    if (sane && (members & TextMember) != 0)
        sane = Text(json, "text", &message->Text);
    if (sane && (members & ExchangeMember) != 0)
        sane = Unsigned(json, "exchange", &message->Exchange);
    if (sane && (members & IndexMember) != 0)
        sane = Unsigned(json, "index", &message->Index);
    if (sane && (members & AgentsMember) != 0)
        sane = Unsigned(json, "agents", &message->Agents);
    if (sane && (members & NsMember) != 0)
        sane = Integer(json, "ns", &message->Ns);
    if (sane && (members & FlagMember) != 0) {
        auto flag = json.find("flag");
        sane = flag != json.end() && flag->is_boolean();
        message->Flag = sane && flag->get<bool>();
    }
    if (sane && (members & BodyMember) != 0) {
        auto body = json.find("body");
        sane = body != json.end() && body->is_object();
        if (sane)
            message->Body = *body;
    }
    return sane && !message->From.empty();
}

} // namespace

bool ParseControlKey(const std::string &text, ControlKey *key)
{
    size_t digits = text.size() - (!text.empty() && text.back() == '\n' ? 1 : 0);
    if (digits != 2 * key->Bytes.size())
        return false;
    for (size_t i = 0; i < key->Bytes.size(); ++i) {
        int high = HexValue(text[2 * i]), low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        key->Bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
    key->Given = true;
    return true;
}

/* The text of the key file at path, checked as a secret of the user's own. */
static bool ReadKeyFile(const char *path, std::string *text, std::string *error)
{
    std::string where = std::string("TFX_CONTROL_KEY=") + path + ": ";
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *error = where + "cannot be opened: " + strerror(errno);
        return false;
    }
    struct stat status {};
    char buffer[MaxKeyFile + 1];
    ssize_t got = -1;
    if (fstat(fd, &status) != 0)
        *error = where + "cannot be examined: " + strerror(errno);
    else if (!S_ISREG(status.st_mode))
        *error = where + "is not a regular file";
    else if (status.st_uid != geteuid())
        *error = where + "belongs to user " + std::to_string(status.st_uid) + ", not to this one";
    else if ((status.st_mode & 077) != 0)
        *error = where + "is open to others (mode " +
                 std::to_string((status.st_mode >> 6 & 7) * 100 + (status.st_mode >> 3 & 7) * 10 +
                                (status.st_mode & 7)) +
                 "): chmod 600 it";
    else if ((got = read(fd, buffer, sizeof buffer)) < 0)
        *error = where + "cannot be read: " + strerror(errno);
    (void)close(fd);
    if (got < 0)
        return false;
    text->assign(buffer, static_cast<size_t>(got));
    return true;
}

bool ReadControlKey(ControlKey *key, std::string *error)
{
    const char *path = getenv("TFX_CONTROL_KEY");
    if (path == nullptr || path[0] == '\0') {
        const char *unsigned_ = getenv("TFX_CONTROL_UNSIGNED");
        if (unsigned_ != nullptr && strcmp(unsigned_, "1") == 0) {
            key->Given = false;
            return true;
        }
        *error = "no key for the control plane: make one with tfxkeys -c FILE, hand it to "
                 "every agent and controller of the group, and name it in TFX_CONTROL_KEY "
                 "(or set TFX_CONTROL_UNSIGNED=1 on a NATS system no one else uses)";
        return false;
    }
    std::string text;
    if (!ReadKeyFile(path, &text, error))
        return false;
    if (ParseControlKey(text, key))
        return true;
    *error = std::string("TFX_CONTROL_KEY=") + path +
             ": holds no key: one line of 64 hex digits, as tfxkeys -c writes";
    return false;
}

std::string SealControlMessage(const ControlKey &key, const std::string &subject,
                               const ResultJson &message)
{
    std::string json = message.dump(-1, ' ', false, ResultJson::error_handler_t::replace);
    std::string seal =
        key.Given ? Mac(key, subject, json.data(), json.size()) : std::string(MacDigits, '0');
    return seal + " " + json;
}

ControlVerdict ReadControlMessage(const ControlKey &key, const std::string &subject,
                                  const char *body, size_t size, ControlMessage *message)
{
    if (size <= MacDigits + 1 || size > MaxControlBody || body[MacDigits] != ' ')
        return ControlVerdict::Malformed;
    const char *json = body + MacDigits + 1;
    size_t length = size - MacDigits - 1;
    if (key.Given) {
        std::string expected = Mac(key, subject, json, length);
        if (CRYPTO_memcmp(expected.data(), body, MacDigits) != 0)
            return ControlVerdict::Unauthentic;
    }
    ResultJson parsed = ResultJson::parse(json, json + length, nullptr, false);
    if (!parsed.is_object())
        return ControlVerdict::Malformed;
    *message = ControlMessage{};
    if (!Text(parsed, "type", &message->Type))
        return ControlVerdict::Malformed;
    for (const Kind &kind : Kinds)
        if (message->Type == kind.Type)
            return ReadMembers(parsed, kind.Members, message) ? ControlVerdict::Taken
                                                              : ControlVerdict::Malformed;
    return ControlVerdict::Malformed;
}

std::string Printable(const std::string &text)
{
    std::string shown;
    for (unsigned char byte : text) {
        if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
            shown += static_cast<char>(byte);
            continue;
        }
        shown += "\\x";
        shown += HexDigits[byte >> 4];
        shown += HexDigits[byte & 15];
    }
    return shown;
}

std::string NewNonce()
{
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        std::random_device device;
        for (unsigned char &byte : bytes)
            byte = static_cast<unsigned char>(device());
    }
    std::string hex;
    for (unsigned char byte : bytes) {
        hex += HexDigits[byte >> 4];
        hex += HexDigits[byte & 15];
    }
    return hex;
}
