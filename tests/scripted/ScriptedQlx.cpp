/* A scripted stand-in for the qlx calls that the server makes, and for the
 * clock call under GetTicks. Linked into a test build of the server in place
 * of libqlx, it plays a script and writes one line per call, with the call's
 * arguments and its result, to a log.
 *
 * The script is the file named by QLX_SCRIPT, one entry per line; blank lines
 * and lines that start with '#' are skipped. Settings, wherever they stand:
 *
 *   init fail <code>      qlxServerInitialize fails with reason <code>
 *   init signal           qlxServerInitialize raises SIGUSR1 first
 *   put <k> fail <code>   the k-th qlxPutResponse of the run fails with <code>
 *   put <k> signal        the k-th qlxPutResponse raises SIGUSR1 first
 *   clock <s>.<ms>        the next reading of the clock; readings are taken in
 *                         order and the last one repeats (none: 1000.500)
 *
 * Steps, one per qlxGetRequest, in order:
 *
 *   none [stop] [signal]  no message (reason 20); stop also sets the stop bit,
 *                         signal raises SIGUSR1 first
 *   fail <code>           fails with reason <code>
 *   transaction [keys] ["text"]   delivers a message: MsgType 1, or 2 for
 *   datagram [keys] ["text"]      datagram; keys type=N, length=N (DataLength,
 *                         default the text's length), size=N (BufferSize,
 *                         default length + 1), owned=N (BufferOwned), nodata
 *                         (Data null), stop (also sets the stop bit)
 *
 * The text is in double quotes, with the escapes \n \t \\ \" \0 and \xHH.
 * When the steps are used up every call fails with reason 20, and after 100
 * such calls it also sets the stop bit, so that no run goes on for ever.
 *
 * Each delivered buffer ends right before an inaccessible page, at BufferSize
 * when that holds the text and its terminator and the DataLength bytes: a
 * write past BufferSize faults. Buffers are never unmapped, so a buffer that
 * is given back keeps its name lib<n> in the log. The log, named by QLX_CALL_LOG, is written line
 * by line as the calls happen, so it survives exit() and fatal signals. */
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <stdexcept>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "qlx/qlx.h"
#include "util/Clock.h"

namespace {

const QLXHCONN ScriptedConnection = 7;
const QLXHREQ FirstRequest = 100;
const int StepsAfterScript = 100;
const ClockReading DefaultReading = {1000u, 500000000u};

enum class Outcome { NoMessage, Failure, Message };

struct Step {
    Outcome What = Outcome::NoMessage;
    int32_t Code = QLXRC_NO_MESSAGE;
    bool Stop = false;
    bool Signal = false;
    int32_t MsgType = QLX_MSGTYPE_TRANSACTION;
    std::string Text;
    long Length = -1; /* -1: the text's length */
    long Size = -1;   /* -1: the data length + 1 */
    int32_t Owned = 0;
    bool NoData = false;
};

struct PutEntry {
    int32_t FailCode = 0;
    bool Signal = false;
};

struct Script {
    int32_t InitFailCode = 0;
    bool InitSignal = false;
    std::map<long, PutEntry> Puts;
    std::vector<ClockReading> Readings;
    std::vector<Step> Steps;
};

/* A buffer handed out with a message, and its number in the log. */
struct HandedBuffer {
    const char *Data;
    int Number;
};

struct State {
    Script Plan;
    size_t NextStep = 0;
    int StepsPastEnd = 0;
    long Puts = 0;
    size_t Readings = 0;
    int Messages = 0;
    std::vector<HandedBuffer> Buffers;
    QLXERROR LastError{};
    int LogFd = -1;
};

[[noreturn]] void BadScript(int line, const std::string &text)
{
    fprintf(stderr, "scripted qlx: script line %d is not understood: %s\n", line, text.c_str());
    _exit(99);
}

/* Reads a quoted text with its escapes from at; returns false when it is
 * not one. */
bool ReadQuoted(const std::string &line, size_t at, std::string *text)
{
    if (at >= line.size() || line[at] != '"')
        return false;
    for (size_t i = at + 1; i < line.size(); ++i) {
        char ch = line[i];
        if (ch == '"')
            return line.find_first_not_of(' ', i + 1) == std::string::npos;
        if (ch != '\\') {
            *text += ch;
            continue;
        }
        if (++i >= line.size())
            return false;
        switch (line[i]) {
        case 'n':
            *text += '\n';
            break;
        case 't':
            *text += '\t';
            break;
        case '0':
            *text += '\0';
            break;
        case 'x':
            if (i + 2 >= line.size())
                return false;
            *text += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
            i += 2;
            break;
        default:
            *text += line[i];
            break;
        }
    }
    return false;
}

std::vector<std::string> Words(const std::string &line)
{
    std::vector<std::string> words;
    size_t at = 0;
    while ((at = line.find_first_not_of(' ', at)) != std::string::npos && line[at] != '"') {
        size_t end = line.find(' ', at);
        words.push_back(line.substr(at, end - at));
        at = end;
    }
    return words;
}

bool ReadMessageKey(const std::string &word, Step *step)
{
    if (word == "nodata") {
        step->NoData = true;
        return true;
    }
    if (word == "stop") {
        step->Stop = true;
        return true;
    }
    size_t equals = word.find('=');
    if (equals == std::string::npos)
        return false;
    std::string key = word.substr(0, equals);
    long value = strtol(word.c_str() + equals + 1, nullptr, 10);
    if (key == "type")
        step->MsgType = static_cast<int32_t>(value);
    else if (key == "length")
        step->Length = value;
    else if (key == "size")
        step->Size = value;
    else if (key == "owned")
        step->Owned = static_cast<int32_t>(value);
    else
        return false;
    return true;
}

bool ReadEntry(const std::string &line, Script *plan)
{
    std::vector<std::string> words = Words(line);
    if (words.empty())
        return false;
    const std::string &verb = words[0];
    if (verb == "init" && words.size() == 3 && words[1] == "fail") {
        plan->InitFailCode = std::stoi(words[2]);
        return true;
    }
    if (verb == "init" && words.size() == 2 && words[1] == "signal") {
        plan->InitSignal = true;
        return true;
    }
    if (verb == "put" && words.size() >= 3) {
        PutEntry &entry = plan->Puts[std::stol(words[1])];
        if (words[2] == "signal" && words.size() == 3)
            entry.Signal = true;
        else if (words[2] == "fail" && words.size() == 4)
            entry.FailCode = std::stoi(words[3]);
        else
            return false;
        return true;
    }
    if (verb == "clock" && words.size() == 2) {
        unsigned seconds = 0;
        unsigned milliseconds = 0;
        if (sscanf(words[1].c_str(), "%u.%u", &seconds, &milliseconds) != 2)
            return false;
        plan->Readings.push_back(ClockReading{seconds, milliseconds * 1000000u});
        return true;
    }
    Step step;
    if (verb == "none") {
        for (size_t i = 1; i < words.size(); ++i) {
            if (words[i] == "stop")
                step.Stop = true;
            else if (words[i] == "signal")
                step.Signal = true;
            else
                return false;
        }
    } else if (verb == "fail" && words.size() == 2) {
        step.What = Outcome::Failure;
        step.Code = std::stoi(words[1]);
    } else if (verb == "transaction" || verb == "datagram") {
        step.What = Outcome::Message;
        step.MsgType = verb == "transaction" ? QLX_MSGTYPE_TRANSACTION : QLX_MSGTYPE_DATAGRAM;
        for (size_t i = 1; i < words.size(); ++i) {
            if (!ReadMessageKey(words[i], &step))
                return false;
        }
        size_t quote = line.find('"');
        if (quote != std::string::npos && !ReadQuoted(line, quote, &step.Text))
            return false;
    } else {
        return false;
    }
    plan->Steps.push_back(step);
    return true;
}

/* ReadEntry, with a number that does not read as one taken as a bad line. */
bool ReadEntryOf(const std::string &line, Script *plan)
{
    try {
        return ReadEntry(line, plan);
    } catch (const std::exception &) {
        return false;
    }
}

void LoadScript(const char *path, Script *plan)
{
    FILE *file = fopen(path, "r");
    if (file == nullptr)
        BadScript(0, std::string("cannot open ") + path);
    std::string line;
    int number = 0;
    for (int ch = fgetc(file);; ch = fgetc(file)) {
        if (ch != '\n' && ch != EOF) {
            line += static_cast<char>(ch);
            continue;
        }
        ++number;
        bool skipped = line.find_first_not_of(' ') == std::string::npos || line[0] == '#';
        if (!skipped && !ReadEntryOf(line, plan))
            BadScript(number, line);
        line.clear();
        if (ch == EOF)
            break;
    }
    (void)fclose(file);
}

State &Current()
{
    static State *state = nullptr;
    if (state != nullptr)
        return *state;
    state = new State;
    if (const char *script = getenv("QLX_SCRIPT"))
        LoadScript(script, &state->Plan);
    if (const char *log = getenv("QLX_CALL_LOG"))
        state->LogFd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    return *state;
}

void Log(const std::string &line)
{
    std::string text = line + "\n";
    if (Current().LogFd >= 0 && write(Current().LogFd, text.data(), text.size()) < 0)
        _exit(98);
}

/* Bytes as a quoted text: printable characters as they are, the rest as
 * escapes. */
std::string Quoted(const char *bytes, size_t length)
{
    std::string text = "\"";
    for (size_t i = 0; i < length; ++i) {
        unsigned char ch = static_cast<unsigned char>(bytes[i]);
        if (ch == '\n') {
            text += "\\n";
        } else if (ch == '\0') {
            text += "\\0";
        } else if (ch == '\\' || ch == '"') {
            text += '\\';
            text += static_cast<char>(ch);
        } else if (ch >= 0x20 && ch < 0x7f) {
            text += static_cast<char>(ch);
        } else {
            char escape[5];
            (void)snprintf(escape, sizeof escape, "\\x%02x", ch);
            text += escape;
        }
    }
    return text + "\"";
}

/* A fixed-width field up to its trailing zero bytes. */
std::string Field(const void *field, size_t width)
{
    const char *bytes = static_cast<const char *>(field);
    while (width > 0 && bytes[width - 1] == '\0')
        --width;
    return Quoted(bytes, width);
}

std::string Number(long long value)
{
    return std::to_string(value);
}

std::string Hex(uint32_t value)
{
    char text[16];
    (void)snprintf(text, sizeof text, "0x%x", value);
    return text;
}

std::string Record(const char *strucId, int32_t version)
{
    return std::string(strucId, 4) + "/" + Number(version);
}

/* lib<n> for the buffer handed out with the n-th message, own for any other. */
std::string BufferName(const char *data)
{
    if (data == nullptr)
        return "null";
    for (const HandedBuffer &handed : Current().Buffers) {
        if (handed.Data == data)
            return "lib" + Number(handed.Number);
    }
    return "own";
}

std::string Descriptor(const QLXBUFFER &buffer)
{
    return Number(buffer.BufferOwned) + "/" + Number(buffer.BufferSize) + "/" +
           BufferName(buffer.Data);
}

std::string Result(int result)
{
    if (result)
        return " -> 1";
    return " -> 0 (" + Number(Current().LastError.PrimaryResult.ReasonCode) + ")";
}

int Fail(int32_t code, const char *call)
{
    QLXERROR &error = Current().LastError;
    error = QLXERROR{};
    error.PrimaryResult.CompletionCode = 2;
    error.PrimaryResult.ReasonCode = code;
    (void)snprintf(error.PrimaryResult.Text, sizeof error.PrimaryResult.Text,
                   "scripted reason %d in %s", code, call);
    error.SubResult.CompletionCode = 2;
    (void)snprintf(error.SubResult.Text, sizeof error.SubResult.Text, "scripted detail of %s",
                   call);
    return 0;
}

/* size bytes that end right before an inaccessible page. */
char *GuardedBuffer(size_t size)
{
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t pages = (size + page - 1) / page + 1;
    void *memory =
        mmap(nullptr, pages * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        _exit(97);
    char *base = static_cast<char *>(memory);
    if (mprotect(base + (pages - 1) * page, page, PROT_NONE) != 0)
        _exit(97);
    return base + (pages - 1) * page - size;
}

void DeliverMessage(const Step &step, QLXMESSAGE *message, QLXHREQ *hRequest)
{
    State &state = Current();
    int number = ++state.Messages;
    uint32_t length = static_cast<uint32_t>(step.Length >= 0 ? step.Length : step.Text.size());
    message->MsgType = step.MsgType;
    message->DataLength = length;
    *hRequest = FirstRequest + static_cast<QLXHREQ>(number);
    if (step.NoData) {
        message->Buffer =
            QLXBUFFER{step.Owned, static_cast<uint32_t>(std::max(step.Size, 0L)), nullptr};
        return;
    }
    size_t size = step.Size >= 0 ? static_cast<size_t>(step.Size) : size_t{length} + 1;
    size_t room = std::max({size, step.Text.size() + 1, size_t{length}});
    char *data = GuardedBuffer(room);
    memcpy(data, step.Text.data(), step.Text.size());
    state.Buffers.push_back(HandedBuffer{data, number});
    message->Buffer = QLXBUFFER{step.Owned, static_cast<uint32_t>(size), data};
}

Step NextStep()
{
    State &state = Current();
    if (state.NextStep < state.Plan.Steps.size())
        return state.Plan.Steps[state.NextStep++];
    Step step;
    step.Stop = ++state.StepsPastEnd > StepsAfterScript;
    return step;
}

} // namespace

extern "C" int SVC1_GetTime(ClockReading *reading)
{
    State &state = Current();
    const std::vector<ClockReading> &readings = state.Plan.Readings;
    if (readings.empty())
        *reading = DefaultReading;
    else
        *reading = readings[std::min(state.Readings++, readings.size() - 1)];
    return 1;
}

int qlxServerInitialize(QLXSERVICEADDRESS *address, QLXHCONN *hConn) noexcept
{
    int32_t code = Current().Plan.InitFailCode;
    if (Current().Plan.InitSignal)
        (void)raise(SIGUSR1);
    *hConn = code != 0 ? 0 : ScriptedConnection;
    int result = code != 0 ? Fail(code, "qlxServerInitialize") : 1;
    Log("qlxServerInitialize " + Record(address->StrucId, address->Version) + " Name=" +
        Field(address->Name, sizeof address->Name) + Result(result) + " hConn=" + Number(*hConn));
    return result;
}

int qlxGetRequest(QLXHCONN hConn, QLXMESSAGE *message, QLXGETOPTIONS *options, void *reserved,
                  QLXHREQ *hRequest) noexcept
{
    std::string line =
        "qlxGetRequest hConn=" + Number(hConn) + " " + Record(message->StrucId, message->Version) +
        " Buffer=" + Descriptor(message->Buffer) + " " +
        Record(options->StrucId, options->Version) + " Options=" + Hex(options->Options) +
        " WaitInterval=" + Number(options->WaitInterval) +
        " MsgId=" + Field(options->MsgId, sizeof options->MsgId) +
        " Profile=" + Field(options->ProfileName, sizeof options->ProfileName);
    if (reserved != nullptr)
        line += " reserved=set";
    Step step = NextStep();
    if (step.Signal)
        (void)raise(SIGUSR1);
    if (step.Stop)
        options->Status |= QLX_STATUS_STOP;
    int result = 1;
    if (step.What == Outcome::Message)
        DeliverMessage(step, message, hRequest);
    else
        result = Fail(step.Code, "qlxGetRequest");
    line += Result(result);
    if (result)
        line += " hRequest=" + Number(*hRequest);
    Log(line + (step.Stop ? " stop" : ""));
    return result;
}

int qlxPutResponse(QLXHCONN hConn, QLXMESSAGE *message, QLXPUTOPTIONS *options, void *reserved,
                   QLXHREQ *hRequest) noexcept
{
    const QLXBUFFER &buffer = message->Buffer;
    std::string line =
        "qlxPutResponse hConn=" + Number(hConn) + " " + Record(message->StrucId, message->Version) +
        " DataLength=" + Number(message->DataLength) + " Buffer=" + Descriptor(buffer) + " " +
        Record(options->StrucId, options->Version) + " Options=" + Hex(options->Options) +
        " MsgId=" + Field(options->MsgId, sizeof options->MsgId) +
        " Profile=" + Field(options->ProfileName, sizeof options->ProfileName) +
        " hRequest=" + Number(*hRequest);
    if (reserved != nullptr)
        line += " reserved=set";
    line += buffer.Data != nullptr ? " Data=" + Quoted(buffer.Data, message->DataLength)
                                   : std::string(" Data=null");
    PutEntry entry;
    auto found = Current().Plan.Puts.find(++Current().Puts);
    if (found != Current().Plan.Puts.end())
        entry = found->second;
    if (entry.Signal)
        (void)raise(SIGUSR1);
    int result = entry.FailCode != 0 ? Fail(entry.FailCode, "qlxPutResponse") : 1;
    Log(line + Result(result));
    return result;
}

int qlxSendAlert(QLXHCONN hConn, QLXALERT *alert) noexcept
{
    std::string text = alert->Text != nullptr ? Quoted(alert->Text, strlen(alert->Text)) : "null";
    Log("qlxSendAlert hConn=" + Number(hConn) + " " + Record(alert->StrucId, alert->Version) +
        " AlertType=" + Number(alert->AlertType) + " Text=" + text + " -> 1");
    return 1;
}

int qlxCloseHandle(QLXHCONN hConn, QLXHREQ *hRequest) noexcept
{
    Log("qlxCloseHandle hConn=" + Number(hConn) + " hRequest=" + Number(*hRequest) + " -> 1");
    return 1;
}

/* Leaves the descriptor as it is: what the server does next is its own. */
int qlxFreeBuffer(QLXHCONN hConn, QLXBUFFER *buffer) noexcept
{
    Log("qlxFreeBuffer hConn=" + Number(hConn) + " Buffer=" + Descriptor(*buffer) + " -> 1");
    return 1;
}

int qlxGetLastError(QLXERROR *error) noexcept
{
    *error = Current().LastError;
    Log("qlxGetLastError -> 1 ReasonCode=" + Number(error->PrimaryResult.ReasonCode));
    return 1;
}

/* Writes each block's text in brackets, cut to the room given. */
int qlxFormatError(const ResultBlock *block, int32_t count, char *out, uint32_t *room) noexcept
{
    Log("qlxFormatError count=" + Number(count) + " room=" + Number(*room) + " -> 1");
    std::string text;
    for (int32_t i = 0; i < count; ++i)
        text +=
            "[" + std::string(block[i].Text, strnlen(block[i].Text, sizeof block[i].Text)) + "]";
    if (*room == 0)
        return 1;
    size_t length = std::min(text.size(), size_t{*room} - 1);
    memcpy(out, text.data(), length);
    out[length] = '\0';
    *room -= static_cast<uint32_t>(length);
    return 1;
}

int qlxTerminate(QLXHCONN *hConn) noexcept
{
    Log("qlxTerminate hConn=" + Number(*hConn) + " -> 1");
    *hConn = 0;
    return 1;
}

/* Asked only under TFX_METRICS, which the scripted runs do not set. */
int qlxGetServiceStats(QLXHCONN, QLXSTATS *) noexcept
{
    return 0;
}
