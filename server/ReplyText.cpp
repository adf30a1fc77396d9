#include "server/ReplyText.h"

#include <cstring>

void CopyReplyText(char *buffer, size_t size, const char *text)
{
    if (size == 0)
        return;
    size_t length = strnlen(text, size - 1);
    memcpy(buffer, text, length);
    buffer[length] = '\0';
}

/* Copies what fits of length bytes into *cursor, which has *room bytes left
 * before the one kept for the terminator. */
static void PutCut(char **cursor, size_t *room, const char *bytes, size_t length)
{
    size_t taken = length < *room ? length : *room;
    memcpy(*cursor, bytes, taken);
    *cursor += taken;
    *room -= taken;
}

void TagReplyText(char *buffer, size_t size, const char *element)
{
    size_t length = strnlen(buffer, size);
    if (length == size)
        return;
    char *lineFeed = static_cast<char *>(memrchr(buffer, '\n', length));
    if (lineFeed == nullptr)
        return;
    char *cursor = lineFeed;
    size_t room = size - static_cast<size_t>(lineFeed - buffer) - 1;
    PutCut(&cursor, &room, "; ", 2);
    PutCut(&cursor, &room, element, strlen(element));
    PutCut(&cursor, &room, "\n", 1);
    *cursor = '\0';
}
