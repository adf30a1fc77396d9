#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "qlx/qlx.h"
#include "tests/qlx/QlxHarness.h"
#include "tests/support/GuardedPage.h"

namespace {

using qlxtest::LastPrimaryText;
using qlxtest::LastReason;

ResultBlock Block(int32_t reason, const char *text)
{
    ResultBlock block{2, reason, {}};
    (void)snprintf(block.Text, sizeof block.Text, "%s", text);
    return block;
}

/* What qlxFormatError leaves in a 16-byte area of '#' given room bytes; a
 * call that cuts the text fails, and says by how much. */
std::string FormatInto(const ResultBlock *blocks, int32_t count, uint32_t room, uint32_t *roomLeft,
                       const char *cut = nullptr)
{
    char out[16];
    memset(out, '#', sizeof out);
    *roomLeft = room;
    EXPECT_EQ(qlxFormatError(blocks, count, out, roomLeft), cut == nullptr ? 1 : 0);
    if (cut != nullptr) {
        EXPECT_EQ(LastPrimaryText(), cut);
    }
    return std::string(out, sizeof out);
}

/* With no room nothing is written, not even a terminator. */
TEST(FormatError, WritesNothingIntoNoRoom)
{
    ResultBlock block = Block(20, "no message (20)");
    uint32_t left = 0;
    EXPECT_EQ(FormatInto(&block, 1, 0, &left,
                         "the text needs 16 bytes and the room holds 0: it is cut (35)"),
              std::string(16, '#'));
    EXPECT_EQ(left, 0u);
}

/* One byte of room holds the terminator alone. */
TEST(FormatError, WritesTheTerminatorIntoOneByte)
{
    ResultBlock block = Block(20, "no message (20)");
    uint32_t left = 0;
    EXPECT_EQ(FormatInto(&block, 1, 1, &left,
                         "the text needs 16 bytes and the room holds 1: it is cut (35)"),
              std::string(1, '\0') + std::string(15, '#'));
    EXPECT_EQ(left, 1u);
}

/* A text longer than the room is cut and terminated inside it. */
TEST(FormatError, CutsTheTextToTheRoom)
{
    ResultBlock block = Block(20, "no message (20)");
    uint32_t left = 0;
    EXPECT_EQ(FormatInto(&block, 1, 6, &left,
                         "the text needs 16 bytes and the room holds 6: it is cut (35)"),
              std::string("no me\0##########", 16));
    EXPECT_EQ(left, 1u);
}

/* A text that fills the room to its last byte, terminator included, is
 * whole; one byte more is cut. */
TEST(FormatError, FillsTheRoomToItsLastByte)
{
    ResultBlock block = Block(20, "exactly fifteen");
    uint32_t left = 0;
    EXPECT_EQ(FormatInto(&block, 1, 16, &left), std::string("exactly fifteen\0", 16));
    EXPECT_EQ(left, 1u);
    block = Block(20, "exactly sixteen!");
    EXPECT_EQ(FormatInto(&block, 1, 16, &left,
                         "the text needs 17 bytes and the room holds 16: it is cut (35)"),
              std::string("exactly sixteen\0", 16));
}

/* A text that fits is written whole and the room left is counted back. */
TEST(FormatError, WritesAFittingTextWhole)
{
    ResultBlock block = Block(20, "short (20)");
    uint32_t left = 0;
    EXPECT_EQ(FormatInto(&block, 1, 16, &left), std::string("short (20)\0#####", 16));
    EXPECT_EQ(left, 6u);
}

/* Several blocks are joined by "; ". */
TEST(FormatError, JoinsSeveralBlocks)
{
    ResultBlock blocks[2] = {Block(20, "one"), Block(0, "two")};
    uint32_t left = 0;
    EXPECT_EQ(FormatInto(blocks, 2, 16, &left), std::string("one; two\0#######", 16));
    EXPECT_EQ(left, 8u);
}

/* A block whose text fills all its bytes without a terminator is read to
 * its end and no further. */
TEST(FormatError, ReadsAnUnterminatedTextToTheBlockEnd)
{
    ResultBlock blocks[2] = {Block(20, ""), Block(0, "after")};
    memset(blocks[0].Text, 'x', sizeof blocks[0].Text);
    char out[300];
    uint32_t room = sizeof out;
    ASSERT_EQ(qlxFormatError(blocks, 1, out, &room), 1);
    EXPECT_EQ(std::string(out), std::string(sizeof blocks[0].Text, 'x'));
}

/* Null arguments are refused without a write. */
TEST(FormatError, RefusesNullArguments)
{
    ResultBlock block = Block(20, "text");
    char out[4] = "##";
    uint32_t room = sizeof out;
    EXPECT_EQ(qlxFormatError(nullptr, 1, out, &room), 0);
    EXPECT_EQ(qlxFormatError(&block, 1, nullptr, &room), 0);
    EXPECT_EQ(qlxFormatError(&block, 1, out, nullptr), 0);
    EXPECT_EQ(LastReason(), QLXRC_BAD_ARGUMENT);
    EXPECT_STREQ(out, "##");
}

/* qlxGetLastError copies the last failure, primary and sub result; a
 * failure with no cause beneath it has an empty sub result. */
TEST(GetLastError, CopiesTheLastFailure)
{
    QLXHCONN none = 0;
    ASSERT_EQ(qlxTerminate(&none), 0);
    QLXERROR error;
    memset(&error, 0x55, sizeof error);
    ASSERT_EQ(qlxGetLastError(&error), 1);
    EXPECT_EQ(error.PrimaryResult.CompletionCode, 2);
    EXPECT_EQ(error.PrimaryResult.ReasonCode, QLXRC_BAD_CONNECTION);
    EXPECT_STREQ(error.PrimaryResult.Text,
                 "connection handle 00000000 names no open connection (30)");
    EXPECT_EQ(error.SubResult.CompletionCode, 0);
    EXPECT_EQ(error.SubResult.ReasonCode, 0);
    EXPECT_STREQ(error.SubResult.Text, "");
    EXPECT_EQ(qlxGetLastError(nullptr), 0);
}

/* qlxTerminate takes 0 and handles that name nothing, and leaves 0 behind. */
TEST(Terminate, AcceptsZeroAndGarbageHandles)
{
    for (QLXHCONN handle : {0u, 1u, 0xDEADBEEFu, 0xFFFFFFFFu, 0x00000100u}) {
        QLXHCONN hConn = handle;
        EXPECT_EQ(qlxTerminate(&hConn), 0);
        EXPECT_EQ(hConn, 0u);
        EXPECT_EQ(LastReason(), QLXRC_BAD_CONNECTION);
    }
    EXPECT_EQ(qlxTerminate(nullptr), 0);
    EXPECT_EQ(LastReason(), QLXRC_BAD_ARGUMENT);
}

class Calls : public qlxtest::QlxTest {};

/* A handle that was terminated stays dead, even after its slot is reused. */
TEST_F(Calls, TerminatedHandlesStayDead)
{
    QLXHCONN stale = 0;
    {
        qlxtest::TestService first;
        ASSERT_TRUE(first.Open("E1")) << LastPrimaryText();
        stale = first.hConn;
    }
    qlxtest::TestService second;
    ASSERT_TRUE(second.Open("E1")) << LastPrimaryText();
    EXPECT_NE(second.hConn, stale);
    QLXSTATS stats = DefaultStats;
    EXPECT_EQ(qlxGetServiceStats(stale, &stats), 0);
    EXPECT_EQ(LastReason(), QLXRC_BAD_CONNECTION);
    QLXHCONN copy = stale;
    EXPECT_EQ(qlxTerminate(&copy), 0);
    EXPECT_EQ(qlxGetServiceStats(second.hConn, &stats), 1);
}

/* A caller of an earlier version of the statistics record gets that layout
 * and not a byte more: 88 bytes for version 1, 104 for version 2. */
TEST_F(Calls, StatsOfAnEarlierVersionEndWhereThatVersionEnds)
{
    qlxtest::TestService service;
    ASSERT_TRUE(service.Open("E1")) << LastPrimaryText();
    for (int32_t version : {1, 2}) {
        QLXSTATS earlier = DefaultStats;
        earlier.Version = version;
        size_t size = version == 1 ? QLX_STATS_VERSION_1_SIZE : QLX_STATS_VERSION_2_SIZE;
        tfxtest::GuardedPage page;
        auto *stats =
            reinterpret_cast<QLXSTATS *>(page.Last(size, reinterpret_cast<const char *>(&earlier)));
        EXPECT_EQ(qlxGetServiceStats(service.hConn, stats), 1);
        EXPECT_EQ(memcmp(stats, &earlier, size), 0);
    }
}

/* Each client's connection is counted as accepted and open, once it is
 * accepted; one whose client has gone is open no longer. */
TEST_F(Calls, StatsCountTheConnectionsOpenAndAccepted)
{
    qlxtest::TestService service;
    ASSERT_TRUE(service.Open("E1")) << LastPrimaryText();
    QLXSTATS before = DefaultStats;
    ASSERT_EQ(qlxGetServiceStats(service.hConn, &before), 1);
    auto first = std::make_unique<qlxtest::TestClient>();
    qlxtest::TestClient second;
    ASSERT_TRUE(first->Connect("E1") && second.Connect("E1") && first->Datagram("1") &&
                second.Datagram("2") && service.Receive() && service.Receive());
    QLXSTATS stats = DefaultStats;
    ASSERT_EQ(qlxGetServiceStats(service.hConn, &stats), 1);
    EXPECT_EQ(stats.ConnectionsAccepted - before.ConnectionsAccepted, 2u);
    EXPECT_EQ(stats.ConnectionsOpen, 2u);
    EXPECT_STREQ(stats.Transport, "zmq");
    first.reset();
    for (int wait = 0; wait < 1000 && stats.ConnectionsOpen != 1; ++wait) {
        (void)service.Receive(10);
        ASSERT_EQ(qlxGetServiceStats(service.hConn, &stats), 1);
    }
    EXPECT_EQ(stats.ConnectionsOpen, 1u);
}

/* QLX_STATS_FILE is opened with the service: a file it cannot or must not
 * append to keeps the service from opening, with a text that names it. A
 * link is never followed, at the last name or among the directories, so no
 * file of another is written or created. */
TEST_F(Calls, StatsFileThatCannotBeUsedIsRefusedWhenTheServiceOpens)
{
    const std::string dir = temp_.Path();
    const std::string target = dir + "/target";
    std::ofstream(target) << "kept\n";
    ASSERT_EQ(symlink(target.c_str(), (dir + "/link").c_str()), 0);
    ASSERT_EQ(symlink((dir + "/dangling-target").c_str(), (dir + "/dangling").c_str()), 0);
    ASSERT_EQ(symlink(dir.c_str(), (dir + "/dirlink").c_str()), 0);
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    std::ofstream(dir + "/foreign") << "";
    bool foreign = chown((dir + "/foreign").c_str(), 65534, 65534) == 0;
    const std::string link = " is a symbolic link, which the service does not follow: give the "
                             "file itself, or unset it (45)";
    const std::string unwritable = " cannot be written: give a file that can, or unset it (45)";
    const struct {
        std::string File;
        std::string Text;
    } cases[] = {
        {"missing/stats", unwritable},
        {"link", link},
        {"dangling", link},
        {"dirlink/target", " passes through a symbolic link, which the service does not follow: "
                           "give a path without links, or unset it (45)"},
        {"fifo", unwritable},
        {"/dev/null", " is not a regular file: give one that is, or unset it (45)"},
        {"foreign", " belongs to another user than the service's (" + std::to_string(geteuid()) +
                        "): give a file of your own, or unset it (45)"},
    };
    for (const auto &c : cases) {
        if (c.File == "foreign" && !foreign) {
            std::cout << "[ SKIPPED  ] a file of another user: chown needs root\n";
            continue;
        }
        std::string path = c.File[0] == '/' ? c.File : dir + "/" + c.File;
        (void)setenv("QLX_STATS_FILE", path.c_str(), 1);
        qlxtest::TestService refused;
        EXPECT_FALSE(refused.Open("E1")) << c.File;
        EXPECT_EQ(LastReason(), QLXRC_BAD_SETTING) << c.File;
        EXPECT_EQ(LastPrimaryText(), "QLX_STATS_FILE=" + path + c.Text);
    }
    EXPECT_EQ(tfxtest::ReadFile(target), "kept\n");
    EXPECT_NE(access((dir + "/dangling-target").c_str(), F_OK), 0);
}

/* A failed qlxServerInitialize leaves 0 behind, which qlxTerminate takes. */
TEST_F(Calls, FailedInitializeLeavesAHandleTerminateTakes)
{
    QLXSERVICEADDRESS address = DefaultServiceAddress;
    memcpy(address.StrucId, "XXXX", 4);
    QLXHCONN hConn = 0x12345678;
    EXPECT_EQ(qlxServerInitialize(&address, &hConn), 0);
    EXPECT_EQ(LastReason(), QLXRC_BAD_ARGUMENT);
    EXPECT_EQ(LastPrimaryText(), "service address is null or not a service address record (32)");
    EXPECT_EQ(hConn, 0u);
    EXPECT_EQ(qlxTerminate(&hConn), 0);
    EXPECT_EQ(qlxServerInitialize(nullptr, &hConn), 0);
    EXPECT_EQ(hConn, 0u);
    EXPECT_EQ(qlxServerInitialize(&address, nullptr), 0);
}

/* Records with a wrong eye-catcher are refused by every call that takes one. */
TEST_F(Calls, RefuseRecordsWithAWrongEyeCatcher)
{
    qlxtest::TestService service;
    ASSERT_TRUE(service.Open("E1")) << LastPrimaryText();
    QLXMESSAGE message = DefaultMessageRecord;
    QLXGETOPTIONS get = service.Get;
    QLXPUTOPTIONS put = service.Put;
    QLXALERT alert;
    PrepareAlert(&alert);
    QLXHREQ hRequest = 0;
    message.StrucId[0] = 'x';
    EXPECT_EQ(qlxGetRequest(service.hConn, &message, &get, nullptr, &hRequest), 0);
    EXPECT_EQ(LastPrimaryText(), "message is null or not a message record (32)");
    EXPECT_EQ(qlxPutResponse(service.hConn, &message, &put, nullptr, &hRequest), 0);
    EXPECT_EQ(LastReason(), QLXRC_BAD_ARGUMENT);
    message = DefaultMessageRecord;
    get.StrucId[0] = 'x';
    EXPECT_EQ(qlxGetRequest(service.hConn, &message, &get, nullptr, &hRequest), 0);
    EXPECT_EQ(LastPrimaryText(), "get options is null or not a get options record (32)");
    put.StrucId[0] = 'x';
    EXPECT_EQ(qlxPutResponse(service.hConn, &message, &put, nullptr, &hRequest), 0);
    EXPECT_EQ(LastPrimaryText(), "put options is null or not a put options record (32)");
    alert.StrucId[0] = 'x';
    EXPECT_EQ(qlxSendAlert(service.hConn, &alert), 0);
    EXPECT_EQ(LastPrimaryText(), "alert is null or not an alert record (32)");
}

/* Calls with a handle that names no service fail with their reason. */
TEST_F(Calls, FailWithAHandleThatNamesNoService)
{
    qlxtest::TestService service;
    service.hConn = 0xDEADBEEF;
    EXPECT_FALSE(service.Receive(0));
    EXPECT_EQ(LastReason(), QLXRC_BAD_CONNECTION);
    EXPECT_EQ(LastPrimaryText(), "connection handle deadbeef names no open service (30)");
    EXPECT_FALSE(service.Respond());
    EXPECT_EQ(LastReason(), QLXRC_BAD_CONNECTION);
    service.hConn = 0;
}

/* qlxFreeBuffer leaves memory it did not hand out alone, and says so. */
TEST_F(Calls, FreeBufferLeavesForeignMemoryAlone)
{
    qlxtest::TestService service;
    ASSERT_TRUE(service.Open("E1")) << LastPrimaryText();
    char *own = static_cast<char *>(malloc(64));
    ASSERT_NE(own, nullptr);
    strcpy(own, "the server's own buffer");
    char onStack[8] = "stack";
    for (char *data : {own, onStack}) {
        for (QLXHCONN hConn : {service.hConn, QLXHCONN{0}}) {
            QLXBUFFER buffer{1, 64, data};
            EXPECT_EQ(qlxFreeBuffer(hConn, &buffer), 0);
            EXPECT_EQ(LastReason(), QLXRC_NOT_OUR_BUFFER);
            char expected[120];
            (void)snprintf(expected, sizeof expected,
                           "the buffer at %p was not handed out by this library: left alone (34)",
                           static_cast<void *>(data));
            EXPECT_EQ(LastPrimaryText(), expected);
            EXPECT_EQ(buffer.BufferOwned, 1);
            EXPECT_EQ(buffer.BufferSize, 64u);
            EXPECT_EQ(buffer.Data, data);
        }
    }
    EXPECT_STREQ(own, "the server's own buffer");
    EXPECT_STREQ(onStack, "stack");
    free(own);
    EXPECT_EQ(service.Stats().BuffersReleased, 0u);
}

/* A descriptor without a buffer needs no release; a null one is refused. */
TEST_F(Calls, FreeBufferTakesAnEmptyDescriptor)
{
    QLXBUFFER empty{0, 0, nullptr};
    EXPECT_EQ(qlxFreeBuffer(0, &empty), 1);
    EXPECT_EQ(qlxFreeBuffer(0, nullptr), 0);
    EXPECT_EQ(LastReason(), QLXRC_BAD_ARGUMENT);
}

/* A datagram's handle takes no response, and an unknown handle none either. */
TEST_F(Calls, PutResponseNeedsAnOpenTransaction)
{
    qlxtest::TestService service;
    ASSERT_TRUE(service.Open("E1")) << LastPrimaryText();
    qlxtest::TestClient client;
    ASSERT_TRUE(client.Connect("E1")) << LastPrimaryText();
    ASSERT_TRUE(client.Datagram("d"));
    ASSERT_TRUE(service.Receive()) << LastPrimaryText();
    ASSERT_EQ(service.Message.MsgType, QLX_MSGTYPE_DATAGRAM);
    char handle[16];
    (void)snprintf(handle, sizeof handle, "%08x", service.hRequest);
    EXPECT_FALSE(service.Respond());
    EXPECT_EQ(LastPrimaryText(),
              std::string("request handle ") + handle + " is a datagram's: it takes no reply (31)");
    service.hRequest = 0x00010005;
    EXPECT_FALSE(service.Respond());
    EXPECT_EQ(LastPrimaryText(), "request handle 00010005 names no open transaction (31)");
    QLXALERT alert;
    PrepareAlert(&alert);
    EXPECT_EQ(qlxSendAlert(service.hConn, &alert), 0);
    EXPECT_EQ(LastReason(), QLXRC_NO_CURRENT_REQUEST);
}

} // namespace
