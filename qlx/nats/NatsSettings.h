/* What selects and reaches a NATS system: the server URLs of QLX_ENDPOINT,
 * the subject prefix and the files of the QLX_NATS_* variables, how an
 * element name becomes subjects, and texts that never show a secret. */
#ifndef TFX_QLX_NATSSETTINGS_H
#define TFX_QLX_NATSSETTINGS_H

#include <cstddef>
#include <string>
#include <vector>

namespace qlx {

struct NatsSettings {
    std::vector<std::string> Urls; /* as given, user, password or token included */
    bool Secure = false;           /* a tls:// URL, or a CA, certificate or key file */
    std::string Prefix;            /* QLX_NATS_PREFIX, else "qlx" */
    std::string Inbox;             /* QLX_NATS_INBOX, else "_INBOX": a client's reply subjects */
    std::string Creds;             /* QLX_NATS_CREDS: a user credentials file */
    std::string NKeySeed;          /* QLX_NATS_NKEY: a file holding a user's NKey seed */
    std::string Ca;                /* QLX_NATS_CA: trusted certificates */
    std::string Cert;              /* QLX_NATS_CERT: this side's certificate chain */
    std::string Key;               /* QLX_NATS_KEY: its private key */
};

/* The subjects of one element. */
struct NatsSubjects {
    std::string Work;  /* transactions and datagrams, taken by one member of Group */
    std::string Group; /* the queue group of the element's services */
    std::string Stop;  /* stop requests, heard by every service */
};

/* Whether endpoint names NATS servers: nats:// or tls://. */
bool IsNatsEndpoint(const char *endpoint);

/* Reads the endpoint (URLs separated by commas) and the QLX_NATS_*
 * variables into *settings. Records the error and returns false when a URL,
 * the prefix or a file named by a variable cannot be used; the error names
 * the variable and the file, never a secret. */
bool ReadNatsSettings(const char *endpoint, NatsSettings *settings);

/* The URLs as they may be shown: user, password and token replaced by ***. */
std::string ShownUrls(const NatsSettings &settings);

/* text with every user, password and token of the URLs replaced by ***. */
std::string WithoutSecrets(std::string text, const NatsSettings &settings);

/* The subject token of an element name: the name itself when it is 1 to 64
 * characters of [A-Za-z0-9_-], else "_h" and the 16 hex digits of its
 * FNV-1a hash. */
std::string SubjectToken(const char *name, size_t length);

/* The subjects of the element in nameField (terminated or not). */
NatsSubjects SubjectsFor(const std::string &prefix, const char *nameField, size_t fieldSize);

/* The public key of the NKey seed in seedText ("SU..."), as the server
 * knows its users. False when seedText holds no valid user seed. */
bool NKeyPublicKey(const std::string &seedText, std::string *publicKey);

} // namespace qlx

#endif
