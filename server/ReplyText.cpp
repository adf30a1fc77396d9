#include "server/ReplyText.h"

#include <cstdio>
#include <cstring>

void CopyReplyText(char *buffer, size_t size, const char *text)
{
    if (size == 0)
        return;
    size_t length = strnlen(text, size - 1);
    memcpy(buffer, text, length);
    buffer[length] = '\0';
}

void TagReplyText(char *buffer, size_t size, const char *element)
{
    size_t length = strnlen(buffer, size);
    if (length == size)
        return;
    const void *lineFeed = memrchr(buffer, '\n', length);
    if (lineFeed == nullptr)
        return;
    size_t at = static_cast<size_t>(static_cast<const char *>(lineFeed) - buffer);
    (void)snprintf(buffer + at, size - at, "; %s\n", element);
}
