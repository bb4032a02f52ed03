#include "ChatFixture.h"
#include "fakes/FakeSocket.h"
#include "fakes/ManualClock.h"
#include "fakes/RecordingShell.h"
#include "fakes/TempDir.h"
#include "server/ChatServer.h"
#include "support/Profile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

class UserFileTest : public testing::Test {
protected:
    void SetUp() override
    {
        server = std::make_unique<ChatServer>(
            shell_, clock_, [] { return std::make_unique<FakeSocket>(); }, dir_.string() + "/");
        path = server->userFile().path();
        traceInto(server->traceLog(), 5, dir_.string() + "/trace.log");
    }
    void TearDown() override { server.reset(); }

    void save(const std::string& call, const std::string& name, const std::string& info)
    {
        server->userFile().save(1, call, name, info);
    }
    void put(const std::string& bytes) const { writeFile(path, bytes); }
    // The file with what waits written.
    std::string get() const
    {
        server->userFile().flush();
        return readFile(path);
    }

    TempDir temp_{"userfile"};
    std::filesystem::path dir_ = temp_.path();
    RecordingShell shell_;
    ManualClock clock_;
    std::unique_ptr<ChatServer> server;
    std::string path;
};

TEST(BaseCall, DropsTheSsidAndUpperCases)
{
    EXPECT_EQ(UserFile::baseCall("N0CALL-1"), "N0CALL");
    EXPECT_EQ(UserFile::baseCall("n0call-7"), "N0CALL");
    EXPECT_EQ(UserFile::baseCall("ab1cd"), "AB1CD");
    EXPECT_EQ(UserFile::baseCall("ab-1-2"), "AB");
    EXPECT_EQ(UserFile::baseCall("-1"), "");
    EXPECT_EQ(UserFile::baseCall(""), "");
}

TEST_F(UserFileTest, AllSsidsOfAStationShareOneEntry)
{
    EXPECT_EQ(path, dir_.string() + "/Palavoro.USR");
    put("");
    save("N0CALL-1", "Bob", "QTH Paris");
    EXPECT_EQ(get(), "[USERS]\r\nN0CALL=Bob\r\n[INFO]\r\nN0CALL=QTH Paris\r\n");

    std::string name = "stale";
    std::string info = "stale";
    server->userFile().load("n0call-7", name, info);
    EXPECT_EQ(name, "Bob");
    EXPECT_EQ(info, "QTH Paris");

    save("n0call-7", "Robert", "");
    EXPECT_EQ(get(), "[USERS]\r\nN0CALL=Robert\r\n[INFO]\r\nN0CALL=\r\n");
    server->userFile().load("N0CALL", name, info);
    EXPECT_EQ(name, "Robert");
    EXPECT_EQ(info, "");
}

TEST_F(UserFileTest, WithoutTheFileNothingIsCreatedAndNothingIsKnown)
{
    save("N0CALL-1", "Bob", "QTH Paris");
    EXPECT_FALSE(std::filesystem::exists(path));

    std::string name = "stale";
    std::string info = "stale";
    server->userFile().load("N0CALL-1", name, info);
    EXPECT_EQ(name, "");
    EXPECT_EQ(info, "");
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(UserFileTest, ANameCannotAddLinesKeysOrSections)
{
    put("[USERS]\r\n[INFO]\r\n");
    save("N0CALL-1", "Bob\r\n[USERS]\r\nX=Y", std::string("a\nB=C\0[D]", 9));
    EXPECT_EQ(get(), std::string("[USERS]\r\nN0CALL=Bob  [USERS]  X=Y\r\n[INFO]\r\nN0CALL=a B=C [D]\r\n"));
    EXPECT_EQ(Profile::readSection(path, "USERS"), std::vector<std::string>{"N0CALL=Bob  [USERS]  X=Y"});
    EXPECT_EQ(Profile::readSection(path, "INFO"), std::vector<std::string>{"N0CALL=a B=C [D]"});
    EXPECT_EQ(Profile::readString(path, "USERS", "X", "none"), "none");

    std::string name;
    std::string info;
    server->userFile().load("N0CALL-1", name, info);
    EXPECT_EQ(name, "Bob  [USERS]  X=Y");
    EXPECT_EQ(info, "a B=C [D]");
}

TEST_F(UserFileTest, ACallsignThatCannotBeAKeyIsNotWritten)
{
    const std::string before = "[USERS]\r\n";
    put(before);
    save("[INFO]-1", "Bob", "x");
    save("A=B", "Bob", "x");
    save("N0CALL", "Carl", "y"); // written with them, as if they had not been there
    EXPECT_EQ(get(), before + "N0CALL=Carl\r\n[INFO]\r\nN0CALL=y\r\n");
}

TEST_F(UserFileTest, AnEmptyBaseCallDoesNothing)
{
    const std::string before = "[USERS]\r\n=Eve\r\n[INFO]\r\n";
    put(before);
    save("-1", "Bob", "x");
    EXPECT_EQ(get(), before);

    std::string name = "stale";
    std::string info = "kept";
    server->userFile().load("-1", name, info);
    EXPECT_EQ(name, "");
    EXPECT_EQ(info, "kept");
}

TEST_F(UserFileTest, TheOperatorsFileIsKeptByteForByte)
{
    const std::string before = "; Palavoro users, kept by hand\n"
                               "\n"
                               "[Users]\n"
                               "; regulars\n"
                               "AB1CD = Ann\n"
                               "n0call=Bob\n"
                               "\n"
                               "[Info]\n"
                               "AB1CD=Somewhere\n"
                               "; end\n";
    put(before);
    save("N0CALL-9", "Robert", "Lyon");
    EXPECT_EQ(get(), "; Palavoro users, kept by hand\n"
                     "\n"
                     "[Users]\n"
                     "; regulars\n"
                     "AB1CD = Ann\n"
                     "n0call=Robert\n"
                     "\n"
                     "[Info]\n"
                     "AB1CD=Somewhere\n"
                     "N0CALL=Lyon\n"
                     "; end\n");
}

using ChatUserFile = ChatTest;

TEST_F(ChatUserFile, AFrameOfChangesIsWrittenOnceWithinASecondAndReadThroughMeanwhile)
{
    const std::string before = "[USERS]\r\nN0AAA=Old\r\n[INFO]\r\nN0AAA=Home\r\n";
    writeFile("Palavoro.USR", before);
    auto file = [this] { return readFile(dir_ + "/Palavoro.USR"); };
    auto writes = [this] {
        const std::vector<std::string> lines = traceLines();
        return std::count(lines.begin(), lines.end(), "{PALAVORO} User file written, 1 user(s) changed");
    };
    connect(1, "N0AAA-1");
    std::string frame;
    for (int i = 0; i < 5000; ++i)
        frame += "/NA a\r/NA b\r";
    line(1, "N0AAA-1", frame + "/P Porto\r");
    clock.advance(UserFile::WRITE_DELAY - 1);
    EXPECT_EQ(file(), before);
    connect(2, "n0aaa-7"); // another SSID gets the new name before it is written
    EXPECT_EQ(takeTo("n0aaa-7")[1], "\rHello b!\r");
    clock.advance(1);
    EXPECT_EQ(file(), "[USERS]\r\nN0AAA=b\r\n[INFO]\r\nN0AAA=Porto\r\n");

    // Showing the name, or setting what the file holds, writes nothing; the stop writes what waits.
    line(1, "N0AAA-1", "/NA\r/NA a\r/NA b\r");
    clock.advance(10 * UserFile::WRITE_DELAY);
    line(2, "n0aaa-7", "/NA Ann\r");
    form.stop(nullptr);
    EXPECT_EQ(file(), "[USERS]\r\nN0AAA=Ann\r\n[INFO]\r\nN0AAA=Porto\r\n");
    EXPECT_EQ(writes(), 2);
}

} // namespace
