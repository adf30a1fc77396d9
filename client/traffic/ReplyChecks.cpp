#include "client/traffic/ReplyChecks.h"

#include <cstdio>
#include <cstring>

uint32_t ExpectedReply(const char *request, uint32_t size, uint32_t replySize,
                       const std::string &element, char *out)
{
    /* The server sees the request as a zero-terminated text. */
    size_t text = strnlen(request, size);
    uint32_t length = size;
    size_t room = size;
    if (replySize != 0) {
        length = replySize;
        memset(out, 0, replySize);
        text = text < replySize - 1 ? text : replySize - 1;
        memcpy(out, request, text);
        /* The server's tag keeps the last byte of its buffer for a zero. */
        room = replySize - 1;
    } else {
        memcpy(out, request, size);
    }
    const void *lineFeed = memrchr(out, '\n', text);
    if (lineFeed == nullptr)
        return length;
    size_t at = static_cast<size_t>(static_cast<const char *>(lineFeed) - out);
    std::string tag = "; " + element + "\n";
    tag.push_back('\0');
    size_t fits = room - at < tag.size() ? room - at : tag.size();
    memcpy(out + at, tag.data(), fits);
    return length;
}

ReplyChecker::ReplyChecker(const ClientSettings &settings, const std::string &origin)
    : settings_(settings), request_(origin, settings.SizeMax)
{
    uint32_t largest =
        settings.SizeMax > settings.ExpectMax ? settings.SizeMax : settings.ExpectMax;
    expected_.assign(largest + 1, '\0');
}

bool ReplyChecker::Fail(uint64_t seq, const std::string &what)
{
    if (firstFailure_.empty())
        firstFailure_ = "message " + std::to_string(seq) + ": " + what;
    return false;
}

/* Up to count bytes from at, with anything unprintable as an escape. */
static std::string Excerpt(const char *data, size_t length, size_t at, size_t count = 12)
{
    std::string text = "\"";
    for (size_t i = at; i < length && i < at + count; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        char escaped[8];
        if (c == '\n')
            text += "\\n";
        else if (c == '"' || c == '\\')
            text += std::string("\\") + static_cast<char>(c);
        else if (c >= 0x20 && c < 0x7F)
            text += static_cast<char>(c);
        else {
            (void)snprintf(escaped, sizeof escaped, "\\x%02x", c);
            text += escaped;
        }
    }
    return text + "\"";
}

bool ReplyChecker::CheckMsgId(const QLXREPLY &reply, uint64_t seq)
{
    if (!settings_.MsgIdGiven)
        return true;
    if (reply.MsgIdLength != QLX_MSGID_LENGTH)
        return Fail(seq, "the response carries no message id; expected " +
                             Excerpt(settings_.MsgId, sizeof settings_.MsgId, 0, QLX_MSGID_LENGTH));
    if (memcmp(reply.MsgId, settings_.MsgId, QLX_MSGID_LENGTH) != 0)
        return Fail(seq, "the response's message id " +
                             Excerpt(reinterpret_cast<const char *>(reply.MsgId), QLX_MSGID_LENGTH,
                                     0, QLX_MSGID_LENGTH) +
                             " is not " +
                             Excerpt(settings_.MsgId, sizeof settings_.MsgId, 0, QLX_MSGID_LENGTH));
    return true;
}

bool ReplyChecker::CheckData(const QLXREPLY &reply, uint64_t seq, uint32_t size)
{
    uint32_t length = reply.DataLength;
    bool replaced = settings_.ExpectMax != 0;
    if (replaced && (length < settings_.ExpectMin || length > settings_.ExpectMax))
        return Fail(seq, "reply length " + std::to_string(length) + ", expected " +
                             std::to_string(settings_.ExpectMin) + " to " +
                             std::to_string(settings_.ExpectMax) + " (-e)");
    if (!replaced && length != size)
        return Fail(seq, "reply length " + std::to_string(length) + ", expected " +
                             std::to_string(size) +
                             " as sent (give -e when the server replaces data with -s)");
    const char *request = request_.Fill(seq);
    (void)ExpectedReply(request, size, replaced ? length : 0, settings_.Element, expected_.data());
    if (length == 0 || memcmp(reply.Data, expected_.data(), length) == 0)
        return true;
    size_t at = 0;
    while (reply.Data[at] == expected_[at])
        ++at;
    return Fail(seq, "reply data differs at byte " + std::to_string(at) + " of " +
                         std::to_string(length) + ": " + Excerpt(reply.Data, length, at) +
                         ", expected " + Excerpt(expected_.data(), length, at));
}

bool ReplyChecker::CheckResponse(const QLXREPLY &reply, uint64_t seq, uint32_t size)
{
    bool idPassed = CheckMsgId(reply, seq);
    return CheckData(reply, seq, size) && idPassed;
}
