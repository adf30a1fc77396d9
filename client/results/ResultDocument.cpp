#include "client/results/ResultDocument.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::string ResultDocumentText(const ResultJson &document)
{
    return document.dump(-1, ' ', false, ResultJson::error_handler_t::replace) + "\n";
}

struct Member {
    const char *Name;
    ResultJson::value_t Type;
};

/* The members every result of its kind holds, whatever the run did: a
 * single run, repeated runs (-N) or a sweep (-R). */
static const Member RunMembers[] = {
    {"settings", ResultJson::value_t::object},
    {"counts", ResultJson::value_t::object},
    {"latency_ns", ResultJson::value_t::object},
    {"intervals", ResultJson::value_t::array},
};
static const Member RepeatsMembers[] = {
    {"settings", ResultJson::value_t::object},
    {"repeats", ResultJson::value_t::object},
};
static const Member SweepMembers[] = {
    {"settings", ResultJson::value_t::object},
    {"sweep", ResultJson::value_t::object},
};

template <size_t Count>
static const char *MissingMember(const ResultJson &document, const Member (&members)[Count])
{
    for (const Member &member : members) {
        auto found = document.find(member.Name);
        if (found == document.end() || found->type() != member.Type)
            return member.Name;
    }
    return nullptr;
}

static const char *MissingMember(const ResultJson &document)
{
    if (document.contains("sweep"))
        return MissingMember(document, SweepMembers);
    if (document.contains("repeats"))
        return MissingMember(document, RepeatsMembers);
    return MissingMember(document, RunMembers);
}

bool ParseResultDocument(const std::string &text, ResultJson *document, std::string *error)
{
    try {
        *document = ResultJson::parse(text);
    } catch (const ResultJson::exception &fault) {
        /* what() starts with the library's own tag: "[json.exception...] ";
         * a number beyond a double (1e999) is an out_of_range, not a parse_error. */
        std::string what = fault.what();
        *error = "not JSON: " + what.substr(what.find("] ") + 2);
        return false;
    }
    auto tool = document->find("tool");
    if (tool == document->end() || *tool != "tfxclnt") {
        *error = "not a result of tfxclnt: it has no \"tool\": \"tfxclnt\"";
        return false;
    }
    if (const char *missing = MissingMember(*document)) {
        *error = std::string("not a whole result of tfxclnt: \"") + missing + "\" is missing";
        return false;
    }
    return true;
}

/* Reads the regular file open at fd whole into *text: null, or why not. */
static const char *ReadBounded(int fd, std::string *text)
{
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return "not a regular file: give a file that tfxclnt -o wrote";
    char block[65536];
    for (;;) {
        ssize_t got = read(fd, block, sizeof block);
        if (got < 0)
            return strerror(errno);
        if (got == 0)
            return nullptr;
        text->append(block, static_cast<size_t>(got));
        if (text->size() > MaxResultFileBytes)
            return "larger than 256 MiB, far more than any result of tfxclnt";
    }
}

bool ReadResultFile(const std::string &path, ResultJson *document, std::string *error)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *error = path + ": cannot be read (" + strerror(errno) + ")";
        return false;
    }
    std::string text;
    const char *fault = ReadBounded(fd, &text);
    (void)close(fd);
    std::string why;
    if (fault == nullptr && ParseResultDocument(text, document, &why))
        return true;
    *error = path + ": " + (fault != nullptr ? fault : why);
    return false;
}

namespace {

/* A value as a message shows it, cut short when long. */
std::string ValueText(const ResultJson &value)
{
    std::string text = value.dump(-1, ' ', false, ResultJson::error_handler_t::replace);
    return text.size() > 40 ? text.substr(0, 37) + "..." : text;
}

std::string NumberText(double value)
{
    char text[32];
    (void)snprintf(text, sizeof text, "%.15g", value);
    return text;
}

bool IsIndex(const std::string &name)
{
    return !name.empty() && name.size() < 10 &&
           name.find_first_not_of("0123456789") == std::string::npos;
}

} // namespace

ResultFields::ResultFields(const ResultJson &json, std::string path)
    : json_(json), path_(std::move(path))
{
    if (!json_.is_object() && !json_.is_array())
        Fail("", ValueText(json_) + " is not an object");
}

std::string ResultFields::PathOf(const std::string &name) const
{
    if (name.empty())
        return path_;
    if (json_.is_array())
        return path_ + "[" + name + "]";
    return path_.empty() ? name : path_ + "." + name;
}

void ResultFields::Fail(const std::string &name, const std::string &why) const
{
    throw ResultFieldError(PathOf(name) + ": " + why);
}

const ResultJson &ResultFields::Member(const std::string &name) const
{
    if (json_.is_object()) {
        auto found = json_.find(name);
        if (found == json_.end())
            Fail(name, "is missing");
        return *found;
    }
    if (!IsIndex(name) || std::stoul(name) >= json_.size())
        Fail(name, "is missing");
    return json_[std::stoul(name)];
}

ResultFields ResultFields::Fields(const std::string &name) const
{
    const ResultJson &member = Member(name);
    if (!member.is_object())
        Fail(name, ValueText(member) + " is not an object");
    return ResultFields(member, PathOf(name));
}

ResultFields ResultFields::Array(const std::string &name, size_t maxSize) const
{
    const ResultJson &member = Member(name);
    if (!member.is_array())
        Fail(name, ValueText(member) + " is not an array");
    if (member.size() > maxSize)
        Fail(name, "holds " + std::to_string(member.size()) + " elements, more than the " +
                       std::to_string(maxSize) + " a result can hold");
    return ResultFields(member, PathOf(name));
}

bool ResultFields::IsNull(const std::string &name) const
{
    return Member(name).is_null();
}

uint64_t ResultFields::Count(const std::string &name, uint64_t min, uint64_t max) const
{
    const ResultJson &member = Member(name);
    if (member.is_number_unsigned() && member.get<uint64_t>() >= min &&
        member.get<uint64_t>() <= max)
        return member.get<uint64_t>();
    Fail(name, ValueText(member) + " is not a whole number from " + std::to_string(min) + " to " +
                   std::to_string(max));
}

int64_t ResultFields::Integer(const std::string &name, int64_t min, int64_t max) const
{
    const ResultJson &member = Member(name);
    bool fits = member.is_number_integer() &&
                (!member.is_number_unsigned() || member.get<uint64_t>() <= INT64_MAX);
    if (fits && member.get<int64_t>() >= min && member.get<int64_t>() <= max)
        return member.get<int64_t>();
    Fail(name, ValueText(member) + " is not a whole number from " + std::to_string(min) + " to " +
                   std::to_string(max));
}

double ResultFields::Number(const std::string &name, double min, double max) const
{
    const ResultJson &member = Member(name);
    double value = member.is_number() ? member.get<double>() : NAN;
    if (value >= min && value <= max)
        return value;
    Fail(name,
         ValueText(member) + " is not a number from " + NumberText(min) + " to " + NumberText(max));
}

std::string ResultFields::Text(const std::string &name, size_t maxLength) const
{
    const ResultJson &member = Member(name);
    if (member.is_string() && member.get_ref<const std::string &>().size() <= maxLength)
        return member.get<std::string>();
    Fail(name,
         ValueText(member) + " is not a text of up to " + std::to_string(maxLength) + " bytes");
}

bool ResultFields::Flag(const std::string &name) const
{
    const ResultJson &member = Member(name);
    if (!member.is_boolean())
        Fail(name, ValueText(member) + " is neither true nor false");
    return member.get<bool>();
}
