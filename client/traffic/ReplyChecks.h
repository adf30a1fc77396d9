/* Verification of replies (-V): each response must be the reply that the
 * traffic server makes of its request, tag, size and message id included. */
#ifndef TFX_CLIENT_REPLYCHECKS_H
#define TFX_CLIENT_REPLYCHECKS_H

#include <cstdint>
#include <string>
#include <vector>

#include "qlx/ClientRecords.h"
#include "client/options/ClientOptions.h"
#include "client/traffic/RequestText.h"

/* The data of the reply the server makes of request (size bytes) when its
 * element is element: the text tagged in place with "; <element>\n" at its
 * last line feed, the data length unchanged; with replySize not 0, the data
 * replaced by replySize bytes holding the text cut to replySize - 1, then
 * tagged, the tag cut to fit. Writes into out (room for the larger of size
 * and replySize) and returns the reply's length. */
uint32_t ExpectedReply(const char *request, uint32_t size, uint32_t replySize,
                       const std::string &element, char *out);

class ReplyChecker {
  public:
    /* Buffers for the largest request and reply are allocated here, once. */
    ReplyChecker(const ClientSettings &settings, const std::string &origin);

    /* Checks one response to message seq whose request had size bytes.
     * Returns false when it fails a check; the first failure is described
     * in FirstFailure. */
    bool CheckResponse(const QLXREPLY &reply, uint64_t seq, uint32_t size);

    /* What the first failed check found; empty when none failed. */
    const std::string &FirstFailure() const { return firstFailure_; }

  private:
    bool Fail(uint64_t seq, const std::string &what);
    bool CheckMsgId(const QLXREPLY &reply, uint64_t seq);
    bool CheckData(const QLXREPLY &reply, uint64_t seq, uint32_t size);

    const ClientSettings &settings_;
    RequestText request_;
    std::vector<char> expected_;
    std::string firstFailure_;
};

#endif
