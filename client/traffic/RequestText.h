/* The data of each request: a readable line, "message <N> from <origin>\n",
 * cut to the request's size and padded with zero bytes, so that a server's
 * tag at the line feed fits within the data. */
#ifndef TFX_CLIENT_REQUESTTEXT_H
#define TFX_CLIENT_REQUESTTEXT_H

#include <cstdint>
#include <string>
#include <vector>

class RequestText {
  public:
    /* The buffer for requests of up to maxSize bytes is allocated here, once. */
    RequestText(const std::string &origin, uint32_t maxSize);

    /* Lays out the text of message seq and returns the buffer: its first n
     * bytes are the data of a request of n bytes, for any n up to maxSize.
     * Valid until the next Fill; allocates nothing. */
    const char *Fill(uint64_t seq);

  private:
    std::string suffix_; /* " from <origin>\n" */
    std::vector<char> buffer_;
    size_t written_ = 0; /* bytes past which the buffer holds only zeros */
};

/* Who the requests of this process say they are from: "tfxclnt <pid> on
 * <host>". */
std::string RequestOrigin();

#endif
