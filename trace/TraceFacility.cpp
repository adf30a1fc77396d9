/* The trace facility: control word, class mask, and the records written to the
 * trace file or to an installed sink. */
#include "trace/TraceControl.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "trace/Trc1.h"

uint32_t qlxOptTrcCtrl = TRC1_CTRL_RELOAD; /* declared with C linkage in Trc1.h */

static uint32_t ClassMask = 0;      /* class mask in force */
static int ClassGiven = 0;          /* 1: set by qlxSetTraceClass, QLX_TRACE is not read */
static uint32_t Generation = 1;     /* changes with every change of ClassMask */
static qlxTraceSink Sink = nullptr; /* receives the records in place of the file */
static void *SinkContext = nullptr; /* handed to Sink */
static FILE *Output = nullptr;      /* trace file; null until the first record */

/* Every cached class mask becomes stale: the blocks' Generation words point at
 * Generation once they have synced. */
static void ClassChanged()
{
    ++Generation;
}

/* The class mask that QLX_TRACE names; 0 when unset, empty or not a number
 * that fits in 32 bits (which is reported on standard error). */
static uint32_t ClassFromEnvironment()
{
    const char *text = getenv("QLX_TRACE");
    if (text == nullptr || *text == '\0')
        return 0;
    char *end = nullptr;
    errno = 0;
    unsigned long long mask = strtoull(text, &end, 0);
    if (text[0] != '-' && *end == '\0' && errno == 0 && mask <= UINT32_MAX)
        return static_cast<uint32_t>(mask);
    fprintf(stderr, "qlx trace: QLX_TRACE=%s is not a class mask; tracing stays off\n", text);
    return 0;
}

/* The trace file, opened at the first record: QLX_TRACE_FILE, or standard
 * error when it is unset or cannot be opened (which is reported there). */
static FILE *TraceFile()
{
    if (Output != nullptr)
        return Output;
    Output = stderr;
    const char *path = getenv("QLX_TRACE_FILE");
    if (path == nullptr || *path == '\0')
        return Output;
    FILE *file = fopen(path, "a");
    if (file == nullptr) {
        fprintf(stderr, "qlx trace: cannot open trace file %s (%s); tracing to standard error\n",
                path, strerror(errno));
        return Output;
    }
    Output = file;
    return Output;
}

static void CloseTraceFile()
{
    if (Output != nullptr && Output != stderr)
        (void)fclose(Output);
    Output = nullptr;
}

/* Writes one record: the function's identity, the line, the kind and, when
 * there is one, the text. */
static void Emit(const TRC1_FunctionBlock *block, int line, std::string_view kind,
                 std::string_view text)
{
    const TRC1_UnitBlock *unit = block->Unit;
    std::string record;
    record.append(unit->Component, unit->ComponentLength)
        .append(1, ' ')
        .append(unit->File, unit->FileLength)
        .append(1, ' ')
        .append(block->Name, block->NameLength)
        .append(1, ' ')
        .append(std::to_string(line))
        .append(1, ' ')
        .append(kind);
    if (!text.empty())
        record.append(1, ' ').append(text);

    if (Sink != nullptr) {
        Sink(SinkContext, record.c_str());
        return;
    }
    FILE *file = TraceFile();
    record.append(1, '\n');
    (void)fwrite(record.data(), 1, record.size(), file);
    (void)fflush(file);
}

void qlxInitOptTrcCtrl(void) noexcept
{
    if (!ClassGiven)
        ClassMask = ClassFromEnvironment();
    qlxOptTrcCtrl = ClassMask != 0 ? TRC1_CTRL_ON : 0;
    ClassChanged();
}

uint32_t TRC1_Sync(TRC1_FunctionBlock *block) noexcept
{
    if (qlxOptTrcCtrl & TRC1_CTRL_RELOAD)
        qlxInitOptTrcCtrl();
    block->Class = ClassMask;
    block->Generation = &Generation;
    block->Snapshot = Generation;
    return ClassMask;
}

void TRC1_Event(const TRC1_FunctionBlock *block, int line, int kind) noexcept
{
    try {
        if (kind == TRC1_ENTRY)
            Emit(block, line, "entry", {});
        else if (kind == TRC1_EXIT)
            Emit(block, line, "exit", {});
        else
            Emit(block, line, "event " + std::to_string(kind), {});
    } catch (...) {
        /* A record that finds no memory is lost; tracing must not end the caller. */
    }
}

/* The record kinds that a format announces by its opening words. */
static constexpr struct {
    std::string_view Opening;
    std::string_view Kind;
} TextKinds[] = {
    {"Args - ", "args"},
    {"!!! - ", "detail"},
};

void TRC1_Printf(const TRC1_FunctionBlock *block, int line, const char *format, ...) noexcept
{
    if (format == nullptr)
        return;
    std::string_view kind = "text";
    const char *body = format;
    for (const auto &entry : TextKinds) {
        if (std::string_view(format).starts_with(entry.Opening)) {
            kind = entry.Kind;
            body = format + entry.Opening.size();
            break;
        }
    }

    va_list values;
    va_start(values, format);
    va_list again;
    va_copy(again, values);
    int length = vsnprintf(nullptr, 0, body, values);
    va_end(values);
    try {
        if (length >= 0) {
            std::string text(static_cast<size_t>(length), '\0');
            (void)vsnprintf(text.data(), text.size() + 1, body, again);
            Emit(block, line, kind, text);
        }
    } catch (...) {
        /* As above: the record is lost, the caller goes on. */
    }
    va_end(again);
}

void qlxSetTraceSink(qlxTraceSink sink, void *context) noexcept
{
    Sink = sink;
    SinkContext = sink != nullptr ? context : nullptr;
}

void qlxSetTraceClass(uint32_t mask) noexcept
{
    ClassMask = mask;
    ClassGiven = 1;
    qlxOptTrcCtrl = mask != 0 ? TRC1_CTRL_ON : 0;
    ClassChanged();
}

void qlxResetTrace(void) noexcept
{
    qlxOptTrcCtrl = TRC1_CTRL_RELOAD;
    ClassMask = 0;
    ClassGiven = 0;
    ClassChanged();
    Sink = nullptr;
    SinkContext = nullptr;
    CloseTraceFile();
}
