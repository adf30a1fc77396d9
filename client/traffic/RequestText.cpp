#include "client/traffic/RequestText.h"

#include <cstring>
#include <unistd.h>

enum : size_t { PrefixLength = 8, MaxDigits = 20 };

RequestText::RequestText(const std::string &origin, uint32_t maxSize)
    : suffix_(" from " + origin + "\n")
{
    size_t longestText = PrefixLength + MaxDigits + suffix_.size();
    buffer_.assign((maxSize > longestText ? maxSize : longestText) + 1, '\0');
}

const char *RequestText::Fill(uint64_t seq)
{
    char digits[MaxDigits];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + seq % 10);
        seq /= 10;
    } while (seq != 0);
    char *out = buffer_.data();
    memcpy(out, "message ", PrefixLength);
    size_t length = PrefixLength;
    while (count > 0)
        out[length++] = digits[--count];
    memcpy(out + length, suffix_.data(), suffix_.size());
    length += suffix_.size();
    /* A longer text before this one left characters behind it. */
    if (written_ > length)
        memset(out + length, 0, written_ - length);
    written_ = length;
    return out;
}

std::string RequestOrigin()
{
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
        memcpy(host, "localhost", sizeof "localhost");
    return "tfxclnt " + std::to_string(getpid()) + " on " + host;
}
