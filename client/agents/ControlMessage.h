/* The messages of the control plane on the wire, and their reader: a JSON
 * object behind the HMAC-SHA256 of the group's key over the subject it was
 * sent to and the JSON text. A body that is not such a message is refused
 * with a reason, never an exception. */
#ifndef TFX_CLIENT_CONTROLMESSAGE_H
#define TFX_CLIENT_CONTROLMESSAGE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "client/results/ResultDocument.h"

/* The key a group shares: 32 bytes, or none when the user allowed the
 * control plane to go without one. */
struct ControlKey {
    bool Given = false;
    std::array<uint8_t, 32> Bytes{};
};

/* The key of the file TFX_CONTROL_KEY names: one line of 64 hex digits, a
 * regular file of the user's own that no one else may read. Without the
 * variable, no key when TFX_CONTROL_UNSIGNED=1. False with *error saying what
 * is wrong and how to make a key. */
bool ReadControlKey(ControlKey *key, std::string *error);
/* The key in text, 64 hex digits and an optional line feed. */
bool ParseControlKey(const std::string &text, ControlKey *key);

/* One message as read: the members every message carries and those of its
 * type, each of the kind the protocol says. */
struct ControlMessage {
    std::string Type;
    std::string From;      /* the sender's subject, where answers go */
    std::string Name;      /* the sender's "host:pid" */
    std::string Run;       /* the controller's run it belongs to */
    uint64_t Seq = 0;      /* grows with every message of the sender */
    std::string Challenge; /* here, plan: the agent's word a plan must repeat */
    std::string Text;      /* plan: the controller's name; refused: why */
    uint64_t Exchange = 0; /* clock, time: which exchange of the clock */
    uint64_t Index = 0;    /* plan: the agent's share; interval: its index */
    uint64_t Agents = 0;   /* plan: how many agents share the run */
    int64_t Ns = 0;        /* start: when; time: the agent's clock */
    bool Flag = false;     /* here: busy; stop: at once */
    ResultJson Body;       /* plan: settings; interval: the interval; result: the document */
};

enum class ControlVerdict { Taken, Malformed, Unauthentic };

/* The most a control message's body may hold. */
enum : size_t { MaxControlBody = 4u << 20 };

/* message as a body for subject, sealed with key (a body of zeros without
 * one). */
std::string SealControlMessage(const ControlKey &key, const std::string &subject,
                               const ResultJson &message);

/* Reads the body that came on subject into *message: Malformed when it is
 * not a message of the protocol, Unauthentic when the key's seal does not
 * match (never without a key). */
ControlVerdict ReadControlMessage(const ControlKey &key, const std::string &subject,
                                  const char *body, size_t size, ControlMessage *message);

/* 32 random hex digits: a run id, a challenge. */
std::string NewNonce();

/* text with every byte that is not printable ASCII as \xNN, for the console. */
std::string Printable(const std::string &text);

#endif
