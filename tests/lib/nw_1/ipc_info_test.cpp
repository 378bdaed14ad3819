/*
 * ipc_info_test.cpp: how a logical driver name is found in lib/ipc_info:
 * the 3- and 6-field lines, comments, protocol letters, path variables,
 * every malformed line's message, and the refusal of remote names.
 */
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "al_env.h"
#include "nw1_test_support.h"

using namespace nw1test;

namespace {

class IpcInfoTest : public ChannelTest {};

/* Attaches name, checks the flags of its connection, closes it. */
void expect_started(const char *name, int flags)
{
    STREAM *ch[2] = {nullptr, nullptr};
    ASSERT_EQ(attach_process(name, ch, IPC_CLIENT, 0, nullptr), 0);
    EXPECT_EQ(ipc_flags(ch[0]), flags);
    EXPECT_EQ(ipc_flags(ch[1]), flags);
    EXPECT_EQ(echo_reverse(ch, "abc"), "cba");
    EXPECT_EQ(sclose(ch[0]), 0);
    EXPECT_EQ(sclose(ch[1]), 0);
}

std::string not_listed(const std::string &name)
{
    return "Server '" + name + "' not listed in ipc_info file.";
}

std::string unexpected(int line, const std::string &name, int count)
{
    return "File " + root() + "/lib/ipc_info, line " + std::to_string(line) +
           ", tag \"" + name + "\" - Unexpected number of entries (" +
           std::to_string(count) + ").";
}

TEST_F(IpcInfoTest, ThreeFieldLineGivesProtocolAndPath)
{
    write_ipc_info("echo p " + echo_driver() + "\n");
    expect_started("echo", IPC_CLIENT | IPC_PIPE | IPC_LOCAL);
}

TEST_F(IpcInfoTest, SixFieldLineTakesProtocolAndPathFromFieldsFiveAndSix)
{
    /* Fields 2-4 mean nothing to the client, even when they look like a
     * protocol and a path. */
    write_ipc_info("echo p /nonexistent x s " + echo_driver() + "\n");
    expect_started("echo", IPC_CLIENT | IPC_SOCKET | IPC_LOCAL);
}

TEST_F(IpcInfoTest, CommentsEmptyLinesTabsAndLeadingBlanksAreSkipped)
{
    write_ipc_info("# echo d nothing\n\n   \t\n  \t echo\tS \t " + echo_driver() +
                   "   \n");
    expect_started("echo", IPC_CLIENT | IPC_SOCKET | IPC_LOCAL);
}

TEST_F(IpcInfoTest, EveryProtocolLetterIsUnderstood)
{
    write_ipc_info("a1 s " + echo_driver() + "\n" + "a2 S " + echo_driver() + "\n" +
                   "a3 p " + echo_driver() + "\n" + "a4 P " + echo_driver() + "\n" +
                   "a5 m " + echo_driver() + "\n" + "a6 M " + echo_driver() + "\n" +
                   "a7 socket " + echo_driver() + "\n");
    const int sock = IPC_CLIENT | IPC_SOCKET | IPC_LOCAL;
    const int pipe = IPC_CLIENT | IPC_PIPE | IPC_LOCAL;
    expect_started("a1", sock);
    expect_started("a2", sock);
    expect_started("a3", pipe);
    expect_started("a4", pipe);
    expect_started("a5", pipe);
    expect_started("a6", pipe);
    expect_started("a7", sock);
}

TEST_F(IpcInfoTest, NameIsComparedExactlyAndTheFirstMatchWins)
{
    write_ipc_info("ech p /nonexistent/a\n"
                   "echo2 p /nonexistent/b\n"
                   "ECHO p /nonexistent/c\n"
                   "echo s " + echo_driver() + "\n" +
                   "echo p /nonexistent/d\n");
    expect_started("echo", IPC_CLIENT | IPC_SOCKET | IPC_LOCAL);
}

TEST_F(IpcInfoTest, FourFieldLineIsReportedAndALaterLineIsUsed)
{
    write_ipc_info("# drivers\n"
                   "echo p x " + echo_driver() + "\n" +
                   "echo p " + echo_driver() + "\n");
    Recorder rec;
    expect_started("echo", IPC_CLIENT | IPC_PIPE | IPC_LOCAL);
    EXPECT_TRUE(rec.logged(unexpected(2, "echo", 4))) << rec.all();
}

TEST_F(IpcInfoTest, WrongFieldCountsForTheWantedNameAreEachReported)
{
    write_ipc_info("echo\n"
                   "echo p\n"
                   "echo a b c d\n"
                   "echo a b c d e f g\n");
    Recorder rec;
    STREAM *ch[2];
    EXPECT_EQ(attach_process("echo", ch, IPC_CLIENT, 0, nullptr), -1);
    EXPECT_TRUE(rec.logged(unexpected(1, "echo", 1))) << rec.all();
    EXPECT_TRUE(rec.logged(unexpected(2, "echo", 2))) << rec.all();
    EXPECT_TRUE(rec.logged(unexpected(3, "echo", 5))) << rec.all();
    EXPECT_TRUE(rec.logged(unexpected(4, "echo", 8))) << rec.all();
    EXPECT_TRUE(rec.logged(not_listed("echo"))) << rec.all();
    EXPECT_TRUE(rec.logged("cannot get the hostname of the server")) << rec.all();
    EXPECT_EQ(nw_geterror(), IPC_ERR_START);
}

TEST_F(IpcInfoTest, MalformedLinesOfOtherNamesAreNotReported)
{
    write_ipc_info("other a b c d\nother\necho p " + echo_driver() + "\n");
    Recorder rec;
    expect_started("echo", IPC_CLIENT | IPC_PIPE | IPC_LOCAL);
    EXPECT_TRUE(rec.messages.empty()) << rec.all();
}

TEST_F(IpcInfoTest, UnknownProtocolLetterFailsTheAttach)
{
    /* The line matches, so the search stops there: the later good line is
     * not reached. */
    write_ipc_info("echo x " + echo_driver() + "\necho p " + echo_driver() + "\n");
    Recorder rec;
    STREAM *ch[2];
    EXPECT_EQ(attach_process("echo", ch, IPC_CLIENT, 0, nullptr), -1);
    EXPECT_TRUE(rec.logged("Unknown protocol 'x'.")) << rec.all();
    EXPECT_TRUE(rec.logged("cannot get the hostname of the server")) << rec.all();
    EXPECT_FALSE(rec.logged(not_listed("echo")));
    EXPECT_EQ(nw_geterror(), IPC_ERR_START);
}

TEST_F(IpcInfoTest, UnlistedNameIsReported)
{
    write_ipc_info("echo p " + echo_driver() + "\n");
    Recorder rec;
    STREAM *ch[2];
    EXPECT_EQ(attach_process("oracle", ch, IPC_CLIENT, 0, nullptr), -1);
    EXPECT_TRUE(rec.logged(not_listed("oracle"))) << rec.all();
    EXPECT_EQ(nw_geterror(), IPC_ERR_START);
}

TEST_F(IpcInfoTest, MissingFileIsReportedWithErrno)
{
    std::remove((root() + "/lib/ipc_info").c_str());
    ipc_info_forget();
    Recorder rec;
    STREAM *ch[2];
    EXPECT_EQ(attach_process("echo", ch, IPC_CLIENT, 0, nullptr), -1);
    EXPECT_TRUE(rec.logged("Error 2: cannot open ipc_info")) << rec.all();
    EXPECT_EQ(nw_geterror(), IPC_ERR_START);
}

TEST_F(IpcInfoTest, TableIsReadOnceUntilForgotten)
{
    write_ipc_info("echo p " + echo_driver() + "\n");
    expect_started("echo", IPC_CLIENT | IPC_PIPE | IPC_LOCAL);
    /* Changed behind the layer's back: the kept table still serves. */
    write_root("lib/ipc_info", "echo s " + echo_driver() + "\n");
    expect_started("echo", IPC_CLIENT | IPC_PIPE | IPC_LOCAL);
    ipc_info_forget();
    expect_started("echo", IPC_CLIENT | IPC_SOCKET | IPC_LOCAL);
}

TEST_F(IpcInfoTest, TseInThePathIsReplacedEveryTime)
{
    /* "${TSE}/x${TSE}/drv" needs both replacements to name the link. */
    std::string dir = root() + "/x" + root();
    write_root("x" + root() + "/.keep", "");
    ASSERT_EQ(symlink(echo_driver().c_str(), (dir + "/drv").c_str()), 0);
    write_ipc_info("echo p ${TSE}/x${TSE}/drv\n");
    expect_started("echo", IPC_CLIENT | IPC_PIPE | IPC_LOCAL);
}

TEST_F(IpcInfoTest, TseBinInThePathIsReplacedAndEmptyWhenUnset)
{
    std::string bin = echo_driver().substr(0, echo_driver().rfind('/'));
    std::string file = echo_driver().substr(echo_driver().rfind('/') + 1);
    write_ipc_info("echo p ${TSE_BIN}/" + file + "\n");
    setenv("TSE_BIN", bin.c_str(), 1);
    expect_started("echo", IPC_CLIENT | IPC_PIPE | IPC_LOCAL);
    unsetenv("TSE_BIN");
    Recorder rec;
    STREAM *ch[2];
    EXPECT_EQ(attach_process("echo", ch, IPC_CLIENT, 0, nullptr), -1);
    EXPECT_TRUE(rec.logged("echo path '/" + file + "' not executable")) << rec.all();
}

TEST_F(IpcInfoTest, PathThatIsNotExecutableIsRefused)
{
    std::string path = write_root("bin/plain", "not a program\n");
    write_ipc_info("echo p ${TSE}/bin/plain\n");
    Recorder rec;
    STREAM *ch[2];
    EXPECT_EQ(attach_process("echo", ch, IPC_CLIENT, 0, nullptr), -1);
    EXPECT_TRUE(rec.logged("echo path '" + path + "' not executable")) << rec.all();
    EXPECT_EQ(nw_geterror(), IPC_ERR_START);
}

TEST_F(IpcInfoTest, CallersFlagCannotChooseTheProtocolOrCloseState)
{
    write_ipc_info("echo p " + echo_driver() + "\n");
    STREAM *ch[2];
    ASSERT_EQ(attach_process("echo", ch, IPC_CLIENT | IPC_SOCKET | IPC_HALF_CLOSED | IPC_SHLIB,
                             0, nullptr),
              0);
    EXPECT_EQ(ipc_flags(ch[0]), IPC_CLIENT | IPC_PIPE | IPC_LOCAL);
    EXPECT_EQ(sclose(ch[0]), 0);
    EXPECT_EQ(ipc_flags(ch[1]), IPC_CLIENT | IPC_PIPE | IPC_LOCAL | IPC_HALF_CLOSED);
    EXPECT_EQ(sclose(ch[1]), 0);
}

TEST_F(IpcInfoTest, BadArgumentsAreRefused)
{
    STREAM *ch[2];
    EXPECT_EQ(attach_process(nullptr, ch, IPC_CLIENT, 0, nullptr), -1);
    EXPECT_EQ(attach_process("", ch, IPC_CLIENT, 0, nullptr), -1);
    EXPECT_EQ(attach_process("echo", nullptr, IPC_CLIENT, 0, nullptr), -1);
    EXPECT_EQ(attach_process("echo", ch, IPC_CLIENT, 2, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(IpcInfoTest, OddBytesInTheTableDoNotDisturbTheSearch)
{
    /* NUL bytes, a very long line, control characters, carriage returns
     * and a last line without its line feed. */
    std::string odd = std::string("echo\0p /x\n", 11) + std::string(100000, 'e') + "\n" +
                      "\x01\x02\xff echo p\n" + "echo\r\n" + "\t\t\n" +
                      "echo p " + echo_driver();
    write_ipc_info(odd);
    Recorder rec;
    expect_started("echo", IPC_CLIENT | IPC_PIPE | IPC_LOCAL);
    /* "echo\r" is a line of one field for "echo": reported, skipped. */
    EXPECT_TRUE(rec.logged(unexpected(4, "echo", 1))) << rec.all();
    EXPECT_EQ(rec.messages.size(), 1u) << rec.all();
}

TEST_F(IpcInfoTest, RandomTablesGiveAnAnswerAndNeverACrash)
{
    /* Lines built from a few tokens, so that the wanted name, protocols
     * and field counts occur often. */
    const std::string tokens[] = {"echo", "p", "d", "x", "#", " ", "\t", "\n", "${TSE}",
                                  "${TSE_BIN}", "/nonexistent", "\r", "echo2",
                                  std::string(1, '\0')};
    unsigned seed = 12345;
    for (int round = 0; round < 200; ++round) {
        std::string text;
        int n = static_cast<int>((seed = seed * 1103515245 + 12345) >> 16) % 40;
        for (int i = 0; i < n; ++i) {
            seed = seed * 1103515245 + 12345;
            text += tokens[(seed >> 16) % (sizeof tokens / sizeof tokens[0])];
        }
        write_ipc_info(text);
        Recorder rec;
        STREAM *ch[2];
        int rc = attach_process("echo", ch, IPC_CLIENT, 0, nullptr);
        ASSERT_EQ(rc, -1) << "no line names a program that exists: " << text;
        EXPECT_FALSE(rec.messages.empty()) << text;
    }
}

/* ---- remote names ------------------------------------------------------- */

TEST_F(IpcInfoTest, HostAndDriverNameIsRefusedWithoutReadingTheTable)
{
    std::remove((root() + "/lib/ipc_info").c_str());
    ipc_info_forget();
    Recorder rec;
    STREAM *ch[2] = {nullptr, nullptr};
    EXPECT_EQ(attach_process("dbhost!oracle8", ch, IPC_CLIENT, 0, nullptr), -1);
    EXPECT_EQ(errno, ENOSYS);
    EXPECT_EQ(nw_geterror(), IPC_ERR_START);
    EXPECT_TRUE(rec.logged("Server 'oracle8' on host 'dbhost': starting drivers on "
                           "other hosts is not available"))
        << rec.all();
    EXPECT_FALSE(rec.logged("Error 2: cannot open ipc_info"));
    EXPECT_EQ(ch[0], nullptr);
}

TEST_F(IpcInfoTest, CredentialFormIsParsedAndRefused)
{
    std::string pw(32, 'k');
    Recorder rec;
    STREAM *ch[2];
    EXPECT_EQ(attach_process((":scott:" + pw + ":/usr/tse@dbhost!informix").c_str(), ch,
                             IPC_CLIENT, 0, nullptr),
              -1);
    EXPECT_TRUE(rec.logged("Server 'informix' on host 'dbhost': starting drivers on "
                           "other hosts is not available"))
        << rec.all();
    EXPECT_EQ(nw_geterror(), IPC_ERR_START);
}

TEST_F(IpcInfoTest, MalformedRemoteNamesAreRefusedAsUnresolvable)
{
    const std::string pw(32, 'k');
    for (const std::string &name :
         {std::string("!oracle"), std::string("dbhost!"), std::string("a!b!c"),
          std::string(":scott:short:/usr/tse@dbhost!informix"),
          ":scott:" + pw + ":/usr/tse-dbhost!informix",
          "::" + pw + ":/usr/tse@dbhost!informix"}) {
        Recorder rec;
        STREAM *ch[2];
        nw_seterror(0);
        EXPECT_EQ(attach_process(name.c_str(), ch, IPC_CLIENT, 0, nullptr), -1) << name;
        EXPECT_TRUE(rec.logged("Malformed remote server name '" + name + "'")) << rec.all();
        EXPECT_TRUE(rec.logged("cannot get the hostname of the server")) << name;
        EXPECT_EQ(nw_geterror(), IPC_ERR_START) << name;
    }
}

} // namespace
