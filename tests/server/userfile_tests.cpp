#include "fakes/FakeSocket.h"
#include "fakes/ManualClock.h"
#include "fakes/RecordingShell.h"
#include "fakes/TempDir.h"
#include "server/chat.h"
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
        server = std::make_unique<TForm1>(
            shell_, clock_, [] { return std::make_unique<FakeSocket>(); }, dir_.string() + "/");
        path = server->UserFile();
    }
    void TearDown() override { server.reset(); }

    void Put(const std::string& bytes) const { WriteFile(path, bytes); }
    std::string Get() const { return ReadFile(path); }

    TempDir temp_{"userfile"};
    std::filesystem::path dir_ = temp_.Path();
    RecordingShell shell_;
    ManualClock clock_;
    std::unique_ptr<TForm1> server;
    std::string path;
};

TEST(BaseCall, DropsTheSsidAndUpperCases)
{
    EXPECT_EQ(TForm1::BaseCall("N0CALL-1"), "N0CALL");
    EXPECT_EQ(TForm1::BaseCall("n0call-7"), "N0CALL");
    EXPECT_EQ(TForm1::BaseCall("ab1cd"), "AB1CD");
    EXPECT_EQ(TForm1::BaseCall("ab-1-2"), "AB");
    EXPECT_EQ(TForm1::BaseCall("-1"), "");
    EXPECT_EQ(TForm1::BaseCall(""), "");
}

TEST_F(UserFileTest, AllSsidsOfAStationShareOneEntry)
{
    EXPECT_EQ(path, dir_.string() + "/Palavoro.USR");
    Put("");
    server->SaveUserInfo("N0CALL-1", "Bob", "QTH Paris");
    EXPECT_EQ(Get(), "[USERS]\r\nN0CALL=Bob\r\n[INFO]\r\nN0CALL=QTH Paris\r\n");

    std::string name = "stale";
    std::string info = "stale";
    server->LoadUserInfo("n0call-7", name, info);
    EXPECT_EQ(name, "Bob");
    EXPECT_EQ(info, "QTH Paris");

    server->SaveUserInfo("n0call-7", "Robert", "");
    EXPECT_EQ(Get(), "[USERS]\r\nN0CALL=Robert\r\n[INFO]\r\nN0CALL=\r\n");
    server->LoadUserInfo("N0CALL", name, info);
    EXPECT_EQ(name, "Robert");
    EXPECT_EQ(info, "");
}

TEST_F(UserFileTest, WithoutTheFileNothingIsCreatedAndNothingIsKnown)
{
    server->SaveUserInfo("N0CALL-1", "Bob", "QTH Paris");
    EXPECT_FALSE(std::filesystem::exists(path));

    std::string name = "stale";
    std::string info = "stale";
    server->LoadUserInfo("N0CALL-1", name, info);
    EXPECT_EQ(name, "");
    EXPECT_EQ(info, "");
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(UserFileTest, ANameCannotAddLinesKeysOrSections)
{
    Put("[USERS]\r\n[INFO]\r\n");
    server->SaveUserInfo("N0CALL-1", "Bob\r\n[USERS]\r\nX=Y", std::string("a\nB=C\0[D]", 9));
    EXPECT_EQ(Get(), std::string("[USERS]\r\nN0CALL=Bob  [USERS]  X=Y\r\n[INFO]\r\nN0CALL=a B=C [D]\r\n"));
    EXPECT_EQ(Profile::ReadSection(path, "USERS"), std::vector<std::string>{"N0CALL=Bob  [USERS]  X=Y"});
    EXPECT_EQ(Profile::ReadSection(path, "INFO"), std::vector<std::string>{"N0CALL=a B=C [D]"});
    EXPECT_EQ(Profile::ReadString(path, "USERS", "X", "none"), "none");

    std::string name;
    std::string info;
    server->LoadUserInfo("N0CALL-1", name, info);
    EXPECT_EQ(name, "Bob  [USERS]  X=Y");
    EXPECT_EQ(info, "a B=C [D]");
}

TEST_F(UserFileTest, ACallsignThatCannotBeAKeyIsNotWritten)
{
    const std::string before = "[USERS]\r\n";
    Put(before);
    server->SaveUserInfo("[INFO]-1", "Bob", "x");
    server->SaveUserInfo("A=B", "Bob", "x");
    EXPECT_EQ(Get(), before);
}

TEST_F(UserFileTest, AnEmptyBaseCallDoesNothing)
{
    const std::string before = "[USERS]\r\n=Eve\r\n[INFO]\r\n";
    Put(before);
    server->SaveUserInfo("-1", "Bob", "x");
    EXPECT_EQ(Get(), before);

    std::string name = "stale";
    std::string info = "kept";
    server->LoadUserInfo("-1", name, info);
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
    Put(before);
    server->SaveUserInfo("N0CALL-9", "Robert", "Lyon");
    EXPECT_EQ(Get(), "; Palavoro users, kept by hand\n"
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

} // namespace
