/* A bare NATS client of a test's own: the text protocol over one TCP
 * socket, as another user of the same NATS system could speak it, to send
 * whatever bytes a test chooses and to see what others publish. */
#ifndef TFX_TESTS_SUPPORT_BARENATS_H
#define TFX_TESTS_SUPPORT_BARENATS_H

#include <chrono>
#include <string>

namespace tfxtest {

struct BareMessage {
    std::string Subject;
    std::string Body;
};

class BareNats {
  public:
    /* Connects to url (nats://127.0.0.1:port); Failure() says why not. */
    explicit BareNats(const std::string &url);
    ~BareNats();
    BareNats(const BareNats &) = delete;
    BareNats &operator=(const BareNats &) = delete;

    const std::string &Failure() const { return failure_; }
    /* Subscribes to subject (wildcards allowed), once the server confirmed. */
    bool Subscribe(const std::string &subject);
    bool Publish(const std::string &subject, const std::string &body);
    /* The next message on a subscription, waiting up to timeout. */
    bool Next(BareMessage *message, std::chrono::milliseconds timeout = std::chrono::seconds(30));
    /* The next message whose body holds text. */
    bool NextHolding(const std::string &text, BareMessage *message,
                     std::chrono::milliseconds timeout = std::chrono::seconds(30));

  private:
    bool Send(const std::string &bytes);
    bool Line(std::string *line, std::chrono::steady_clock::time_point until);
    bool Bytes(size_t count, std::string *bytes, std::chrono::steady_clock::time_point until);
    bool Pong(std::chrono::steady_clock::time_point until);

    int fd_ = -1;
    int subscriptions_ = 0;
    std::string buffer_;
    std::string failure_;
};

} // namespace tfxtest

#endif
