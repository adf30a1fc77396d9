/* The result document that tfxclnt -o writes, as a JSON value, and the one
 * way to read one back: every reader of results takes it from here. */
#ifndef TFX_CLIENT_RESULTDOCUMENT_H
#define TFX_CLIENT_RESULTDOCUMENT_H

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

/* Members keep the order they were written in. */
using ResultJson = nlohmann::ordered_json;

/* The document as one line of JSON text and a newline. Bytes that are not
 * UTF-8 in its strings become U+FFFD, so the text is always valid JSON. */
std::string ResultDocumentText(const ResultJson &document);

/* Reads text as a result document: of a single run, of repeated runs
 * ("repeats") or of a sweep ("sweep"). False with *error saying why when it
 * is not JSON, or not a result written by tfxclnt. */
bool ParseResultDocument(const std::string &text, ResultJson *document, std::string *error);

/* The largest result file read: far above the result of a day-long run. */
constexpr size_t MaxResultFileBytes = size_t{256} << 20;

/* Reads the result file at path with ParseResultDocument. Only a regular
 * file of up to MaxResultFileBytes is read, and a FIFO never waited for.
 * False with *error naming path and saying why. */
bool ReadResultFile(const std::string &path, ResultJson *document, std::string *error);

/* The largest count or nanosecond figure a result may hold: 2^53, exact as
 * a double and far above any run (ten million a second for 28 years). */
constexpr uint64_t MaxResultCount = uint64_t{1} << 53;

/* A member of a result that is missing, of the wrong kind or out of range:
 * what() names it by its path ("counts.refused") and says what is wrong. */
class ResultFieldError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/* One object or array of a result, read member by member, each checked for
 * its kind and range; a read that fails throws ResultFieldError. */
class ResultFields {
  public:
    /* Throws unless json is an object or an array. */
    ResultFields(const ResultJson &json, std::string path);

    /* The member name of an object, or the element of an array at the
     * index that name spells. */
    ResultFields Fields(const std::string &name) const;
    /* An array member, its elements read with Fields(index) or each(). */
    ResultFields Array(const std::string &name, size_t maxSize) const;
    bool Has(const std::string &name) const { return json_.is_object() && json_.contains(name); }
    bool IsNull(const std::string &name) const;
    uint64_t Count(const std::string &name, uint64_t min = 0, uint64_t max = MaxResultCount) const;
    int64_t Integer(const std::string &name, int64_t min, int64_t max) const;
    double Number(const std::string &name, double min, double max) const;
    std::string Text(const std::string &name, size_t maxLength = 4096) const;
    bool Flag(const std::string &name) const;

    size_t Size() const { return json_.size(); }
    /* The path of a member, for a message: "latency_ns.buckets[3]". */
    std::string PathOf(const std::string &name) const;
    /* Throws ResultFieldError: "PATH: why". */
    [[noreturn]] void Fail(const std::string &name, const std::string &why) const;

  private:
    const ResultJson &Member(const std::string &name) const;

    const ResultJson &json_;
    std::string path_;
};

#endif
