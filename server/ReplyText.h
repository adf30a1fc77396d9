/* The text of a reply: the received text copied into the server's buffer,
 * and the tag that names the server at its last line. Both stay within the
 * buffer and leave it terminated. */
#ifndef TFX_SERVER_REPLYTEXT_H
#define TFX_SERVER_REPLYTEXT_H

#include <cstddef>

/* Copies the zero-terminated text into a buffer of size bytes, cut to
 * size - 1 characters. Writes nothing when size is 0. */
void CopyReplyText(char *buffer, size_t size, const char *text);

/* Replaces the last line feed of the text in a buffer of size bytes, and
 * everything after it, by "; <element>\n", cut to fit. A text without a line
 * feed is left as it is. */
void TagReplyText(char *buffer, size_t size, const char *element);

#endif
