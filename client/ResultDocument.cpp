#include "client/ResultDocument.h"

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
    } catch (const ResultJson::parse_error &fault) {
        /* what() starts with the library's own tag: "[json.exception...] ". */
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
