#include "qlx/nats/NatsSettings.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <unistd.h>

#include "qlx/core/ElementName.h"
#include "qlx/ErrorRecord.h"
#include "qlx/core/Errors.h"

namespace qlx {

static const char DefaultPrefix[] = "qlx";
static const char DefaultInbox[] = "_INBOX";

bool IsNatsEndpoint(const char *endpoint)
{
    return strncmp(endpoint, "nats://", 7) == 0 || strncmp(endpoint, "tls://", 6) == 0;
}

static bool IsTokenCharacter(char ch)
{
    return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
           ch == '_' || ch == '-';
}

static bool IsToken(const char *text, size_t length)
{
    if (length == 0 || length > PlainNameLimit)
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (!IsTokenCharacter(text[i]))
            return false;
    }
    return true;
}

std::string SubjectToken(const char *name, size_t length)
{
    if (IsToken(name, length))
        return std::string(name, length);
    /* Appended, not "_" + ...: GCC 12 at -O3 warns -Wrestrict inside that
     * operator+ where nothing overlaps (GCC bug 105651). */
    std::string token = "_";
    token += HashedFileNameFor(name, length);
    return token;
}

NatsSubjects SubjectsFor(const std::string &prefix, const char *nameField, size_t fieldSize)
{
    std::string element = prefix + "." + SubjectToken(nameField, strnlen(nameField, fieldSize));
    return NatsSubjects{element + ".work", element, element + ".stop"};
}

/* A prefix is tokens separated by dots. */
static bool IsPrefix(const std::string &prefix)
{
    size_t start = 0;
    for (;;) {
        size_t dot = prefix.find('.', start);
        size_t end = dot == std::string::npos ? prefix.size() : dot;
        if (!IsToken(prefix.data() + start, end - start))
            return false;
        if (dot == std::string::npos)
            return true;
        start = dot + 1;
    }
}

/* Where the user, password or token of a URL lies: [*begin, *end); empty
 * when it has none. */
static void SecretSpan(const std::string &url, size_t *begin, size_t *end)
{
    size_t scheme = url.find("://");
    *begin = scheme == std::string::npos ? 0 : scheme + 3;
    size_t hostEnd = url.find('/', *begin);
    size_t at = url.rfind('@', hostEnd == std::string::npos ? url.size() : hostEnd);
    *end = at == std::string::npos || at < *begin ? *begin : at;
}

std::string ShownUrls(const NatsSettings &settings)
{
    std::string shown;
    for (const std::string &url : settings.Urls) {
        size_t begin = 0;
        size_t end = 0;
        SecretSpan(url, &begin, &end);
        if (!shown.empty())
            shown += ",";
        shown += begin == end ? url : url.substr(0, begin) + "***" + url.substr(end);
    }
    return shown;
}

static void ReplaceAll(std::string *text, const std::string &secret)
{
    if (secret.empty())
        return;
    for (size_t at = text->find(secret); at != std::string::npos; at = text->find(secret, at + 3))
        text->replace(at, secret.size(), "***");
}

std::string WithoutSecrets(std::string text, const NatsSettings &settings)
{
    for (const std::string &url : settings.Urls) {
        size_t begin = 0;
        size_t end = 0;
        SecretSpan(url, &begin, &end);
        std::string secret = url.substr(begin, end - begin);
        ReplaceAll(&text, secret);
        size_t colon = secret.find(':');
        if (colon != std::string::npos)
            ReplaceAll(&text, secret.substr(colon + 1));
    }
    return text;
}

static bool ReadUrls(const char *endpoint, NatsSettings *settings)
{
    std::string list = endpoint;
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        std::string url = list.substr(start, comma == std::string::npos ? comma : comma - start);
        bool tls = url.compare(0, 6, "tls://") == 0;
        size_t host = tls ? 6 : 7;
        if ((!tls && url.compare(0, 7, "nats://") != 0) || url.size() <= host) {
            settings->Urls.assign(1, url);
            return Fail(QLXRC_ENDPOINT,
                        "QLX_ENDPOINT holds %s, which is not a nats:// or tls:// URL of a server",
                        ShownUrls(*settings).c_str());
        }
        settings->Secure = settings->Secure || tls;
        settings->Urls.push_back(url);
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

/* The file a variable names, checked to be readable; empty when unset. */
static bool ReadFileVariable(const char *variable, std::string *path)
{
    const char *value = getenv(variable);
    if (value == nullptr || value[0] == '\0')
        return true;
    int fd = open(value, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        DetailErrno("open", errno);
        return Fail(QLXRC_TRANSPORT, "%s names %s, which cannot be read", variable, value);
    }
    (void)close(fd);
    *path = value;
    return true;
}

/* The subject prefix in variable, or fallback when it is unset; false, with
 * the error recorded, when it is not a prefix. */
static bool ReadPrefix(const char *variable, const char *fallback, std::string *prefix)
{
    const char *value = getenv(variable);
    *prefix = value != nullptr && value[0] != '\0' ? value : fallback;
    if (IsPrefix(*prefix))
        return true;
    return Fail(QLXRC_ENDPOINT,
                "%s=%s is not a subject prefix: tokens of A-Z a-z 0-9 _ - separated by dots",
                variable, prefix->c_str());
}

bool ReadNatsSettings(const char *endpoint, NatsSettings *settings)
{
    *settings = NatsSettings{};
    if (!ReadUrls(endpoint, settings))
        return false;
    /* A user of a shared NATS system is given an inbox prefix of its own, so
     * that no other user may read its replies or publish into them. */
    if (!ReadPrefix("QLX_NATS_PREFIX", DefaultPrefix, &settings->Prefix) ||
        !ReadPrefix("QLX_NATS_INBOX", DefaultInbox, &settings->Inbox))
        return false;
    bool read = ReadFileVariable("QLX_NATS_CREDS", &settings->Creds) &&
                ReadFileVariable("QLX_NATS_NKEY", &settings->NKeySeed) &&
                ReadFileVariable("QLX_NATS_CA", &settings->Ca) &&
                ReadFileVariable("QLX_NATS_CERT", &settings->Cert) &&
                ReadFileVariable("QLX_NATS_KEY", &settings->Key);
    if (!read)
        return false;
    if (settings->Cert.empty() != settings->Key.empty())
        return Fail(QLXRC_TRANSPORT, "QLX_NATS_CERT and QLX_NATS_KEY go together: set both");
    settings->Secure = settings->Secure || !settings->Ca.empty() || !settings->Cert.empty();
    return true;
}

/* NKeys: RFC 4648 base32 without padding, a CRC-16/XMODEM in little-endian
 * order at the end. A user seed starts with the bytes of "S" and "U". */
static const char Base32[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
enum : uint8_t { SeedPrefix = 18 << 3, UserPrefix = 20 << 3 };
enum : size_t { NKeySize = 32, SeedBytes = 2 + NKeySize + 2, PublicBytes = 1 + NKeySize + 2 };

static uint16_t Crc16(const uint8_t *bytes, size_t size)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < size; ++i) {
        crc ^= static_cast<uint16_t>(bytes[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

static bool DecodeBase32(const std::string &text, uint8_t *out, size_t size)
{
    if (text.size() != (size * 8 + 4) / 5)
        return false;
    uint32_t bits = 0;
    int held = 0;
    size_t written = 0;
    for (char ch : text) {
        const char *at = strchr(Base32, ch);
        if (ch == '\0' || at == nullptr)
            return false;
        bits = (bits << 5) | static_cast<uint32_t>(at - Base32);
        held += 5;
        if (held >= 8) {
            held -= 8;
            out[written++] = static_cast<uint8_t>(bits >> held);
        }
    }
    return written == size;
}

static std::string EncodeBase32(const uint8_t *bytes, size_t size)
{
    std::string text;
    uint32_t bits = 0;
    int held = 0;
    for (size_t i = 0; i < size; ++i) {
        bits = (bits << 8) | bytes[i];
        held += 8;
        while (held >= 5) {
            held -= 5;
            text += Base32[(bits >> held) & 31];
        }
    }
    if (held > 0)
        text += Base32[(bits << (5 - held)) & 31];
    return text;
}

/* The Ed25519 public key of a 32-byte private key. */
static bool Ed25519PublicKey(const uint8_t *privateKey, uint8_t *publicKey)
{
    EVP_PKEY *key = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, privateKey, NKeySize);
    size_t size = NKeySize;
    bool made = key != nullptr && EVP_PKEY_get_raw_public_key(key, publicKey, &size) == 1 &&
                size == NKeySize;
    EVP_PKEY_free(key);
    return made;
}

bool NKeyPublicKey(const std::string &seedText, std::string *publicKey)
{
    uint8_t seed[SeedBytes];
    uint8_t key[PublicBytes];
    bool valid = DecodeBase32(seedText, seed, SeedBytes) &&
                 Crc16(seed, SeedBytes - 2) == (seed[SeedBytes - 2] | seed[SeedBytes - 1] << 8) &&
                 (seed[0] & 0xF8) == SeedPrefix &&
                 (((seed[0] & 7) << 5) | ((seed[1] & 0xF8) >> 3)) == UserPrefix &&
                 Ed25519PublicKey(seed + 2, key + 1);
    OPENSSL_cleanse(seed, sizeof seed);
    if (!valid)
        return false;
    key[0] = UserPrefix;
    uint16_t crc = Crc16(key, PublicBytes - 2);
    key[PublicBytes - 2] = static_cast<uint8_t>(crc);
    key[PublicBytes - 1] = static_cast<uint8_t>(crc >> 8);
    *publicKey = EncodeBase32(key, PublicBytes);
    return true;
}

} // namespace qlx
