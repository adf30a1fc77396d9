#include "qlx/core/Errors.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>

#include "qlx/qlx.h"

namespace qlx {

static thread_local QLXERROR LastErrorRecord;
static thread_local ResultBlock PendingDetail;
static thread_local bool DetailPending = false;

static const int32_t CompletionFailed = 2;
/* The sub result of a failure with no cause beneath it: empty, not a text
 * that says so. */
static constexpr ResultBlock NoDetail = {0, 0, ""};

static void FormatBlock(ResultBlock *block, int32_t code, const char *format, va_list args)
{
    block->CompletionCode = CompletionFailed;
    block->ReasonCode = code;
    (void)vsnprintf(block->Text, sizeof block->Text, format, args);
}

void Detail(int32_t code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    FormatBlock(&PendingDetail, code, format, args);
    va_end(args);
    DetailPending = true;
}

void DetailErrno(const char *what, int error)
{
    Detail(error, "%s: %s (errno %d)", what, strerror(error), error);
}

bool OutOfDescriptors(int error)
{
    return error == EMFILE || error == ENFILE;
}

int FailOutOfDescriptors(const char *what, int error)
{
    DetailErrno(what, error);
    rlimit limit{};
    if (error == ENFILE || getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return Fail(QLXRC_TRANSPORT,
                    "the system ran out of file descriptors opening %s: close some programs, or "
                    "raise fs.file-max",
                    what);
    return Fail(QLXRC_TRANSPORT,
                "this process ran out of file descriptors opening %s: its limit is %llu; raise "
                "it (ulimit -n) or open fewer connections",
                what, static_cast<unsigned long long>(limit.rlim_cur));
}

int Fail(int32_t reason, const char *format, ...)
{
    char text[sizeof LastErrorRecord.PrimaryResult.Text - 16]; /* room for " (code)" */
    va_list args;
    va_start(args, format);
    (void)vsnprintf(text, sizeof text, format, args);
    va_end(args);

    ResultBlock &primary = LastErrorRecord.PrimaryResult;
    primary.CompletionCode = CompletionFailed;
    primary.ReasonCode = reason;
    (void)snprintf(primary.Text, sizeof primary.Text, "%s (%d)", text, reason);
    LastErrorRecord.SubResult = DetailPending ? PendingDetail : NoDetail;
    DetailPending = false;
    return 0;
}

int FailNoReply()
{
    static const QLXERROR NoReply = {
        0,
        {CompletionFailed, QLXRC_NO_MESSAGE, "no reply available within the wait interval (20)"},
        NoDetail,
    };
    LastErrorRecord = NoReply;
    DetailPending = false;
    return 0;
}

const QLXERROR &LastError()
{
    return LastErrorRecord;
}

} // namespace qlx

int qlxGetLastError(QLXERROR *error) noexcept
{
    if (error == nullptr)
        return 0;
    *error = qlx::LastError();
    return 1;
}

/* Copies text into out within room bytes, always terminated when room > 0.
 * Returns the bytes written, the terminator not counted. */
static uint32_t CopyWithin(char *out, uint32_t room, const char *text)
{
    if (room == 0)
        return 0;
    size_t length = strnlen(text, room - 1);
    memcpy(out, text, length);
    out[length] = '\0';
    return static_cast<uint32_t>(length);
}

/* The bytes count blocks take as text, joined by "; ", with the terminator. */
static uint64_t TextNeeds(const ResultBlock *block, int32_t count)
{
    uint64_t needed = 1;
    for (int32_t i = 0; i < count; ++i)
        needed += strnlen(block[i].Text, sizeof block[i].Text) + (i > 0 ? 2 : 0);
    return needed;
}

int qlxFormatError(const ResultBlock *block, int32_t count, char *out, uint32_t *room) noexcept
{
    if (block == nullptr || out == nullptr || room == nullptr)
        return qlx::Fail(QLXRC_BAD_ARGUMENT, "a null block, text or room address");
    uint32_t free = *room;
    for (int32_t i = 0; i < count && free > 0; ++i) {
        char text[sizeof block[i].Text + 1];
        memcpy(text, block[i].Text, sizeof block[i].Text);
        text[sizeof block[i].Text] = '\0';
        uint32_t written = CopyWithin(out, free, i == 0 ? text : "; ");
        if (i > 0)
            written += CopyWithin(out + written, free - written, text);
        out += written;
        free -= written;
    }
    if (free > 0)
        *out = '\0';
    uint32_t given = *room;
    *room = free;
    uint64_t needed = TextNeeds(block, count);
    if (needed > given)
        return qlx::Fail(QLXRC_TEXT_CUT,
                         "the text needs %llu bytes and the room holds %u: it is cut",
                         static_cast<unsigned long long>(needed), given);
    return 1;
}
