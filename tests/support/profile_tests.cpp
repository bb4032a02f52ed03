#include "fakes/FileSizeLimit.h"
#include "fakes/TempDir.h"
#include "support/Profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <filesystem>
#include <string>
#include <vector>

namespace {
bool syncFails = false;
} // namespace

// This test program's own fsync, in place of the C library's: a disk that
// cannot make written bytes durable while syncFails is set.
extern "C" int fsync(int fd)
{
    if (syncFails) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace {

class ProfileTest : public testing::Test {
protected:
    void put(const std::string& bytes) const { writeFile(path, bytes); }
    std::string get() const { return readFile(path); }

    TempDir temp_{"profile"};
    std::filesystem::path dir_ = temp_.path();
    std::string path = temp_.file("test.ini");
};

using Lines = std::vector<std::string>;

TEST_F(ProfileTest, SectionAndKeyNamesMatchWithoutRegardToCase)
{
    put("[Palavoro]\r\nCallSign=N0CALL-5\r\n");
    EXPECT_EQ(Profile::readString(path, "PALAVORO", "CALLSIGN", "x"), "N0CALL-5");
    EXPECT_EQ(Profile::readString(path, "palavoro", "callsign", "x"), "N0CALL-5");
    EXPECT_EQ(Profile::readSection(path, "pALAVORO"), Lines{"CallSign=N0CALL-5"});
}

TEST_F(ProfileTest, MissingFileSectionOrKeyGivesTheDefault)
{
    EXPECT_EQ(Profile::readString(path, "A", "K", "dflt"), "dflt");
    EXPECT_TRUE(Profile::readSection(path, "A").empty());
    EXPECT_FALSE(Profile::fileExists(path));

    put("[A]\nK=\nL=1\n");
    EXPECT_TRUE(Profile::fileExists(path));
    EXPECT_EQ(Profile::readString(path, "B", "K", "dflt"), "dflt");
    EXPECT_EQ(Profile::readString(path, "A", "M", "dflt"), "dflt");
    EXPECT_EQ(Profile::readString(path, "A", "K", "dflt"), "") << "an empty entry is a value";
    EXPECT_FALSE(Profile::fileExists(dir_.string())) << "a directory is not a file";
}

TEST_F(ProfileTest, ValuesAreTakenLikePrivateProfileReads)
{
    put("[S]\n"
        "  Spaced  =  two words  \n"
        "Tabbed\t=\tx\t\n"
        "Double=\"quoted \"\n"
        "Single='q'\n"
        "Lone=\"\n"
        "Mixed=\"a'\n"
        "Multi=<<<END\n"
        "Equals=a=b\n"
        "Raw=caf\xE9 \xFF\n"
        "Dup=first\n"
        "dup=second\n"
        "NoEquals\n"
        "=NoKey\n"
        "Hash=#not a comment\n");
    EXPECT_EQ(Profile::readString(path, "S", "Spaced", ""), "two words");
    EXPECT_EQ(Profile::readString(path, "S", "Tabbed", ""), "x");
    EXPECT_EQ(Profile::readString(path, "S", "Double", ""), "quoted ");
    EXPECT_EQ(Profile::readString(path, "S", "Single", ""), "q");
    EXPECT_EQ(Profile::readString(path, "S", "Lone", ""), "\"");
    EXPECT_EQ(Profile::readString(path, "S", "Mixed", ""), "\"a'");
    EXPECT_EQ(Profile::readString(path, "S", "Multi", ""), "<<<END");
    EXPECT_EQ(Profile::readString(path, "S", "Equals", ""), "a=b");
    EXPECT_EQ(Profile::readString(path, "S", "Raw", ""), "caf\xE9 \xFF");
    EXPECT_EQ(Profile::readString(path, "S", "DUP", ""), "first");
    EXPECT_EQ(Profile::readString(path, "S", "NoEquals", "none"), "none");
    EXPECT_EQ(Profile::readString(path, "S", "Hash", ""), "#not a comment");
}

TEST_F(ProfileTest, SectionLinesComeInFileOrder)
{
    put("; areas of the server\r\n"
        "[PALAVORO]\r\n"
        "CALLSIGN=N0CALL\r\n"
        "[AREAS]\r\n"
        "; the first one\r\n"
        "5=Five\r\n"
        "\r\n"
        "1 = General chat \r\n"
        "x=Test\r\n"
        "5=Again\r\n"
        "[BEACON]\r\n"
        "TEXT=hello\r\n");
    EXPECT_EQ(Profile::readSection(path, "AREAS"), (Lines{"5=Five", "1=General chat", "x=Test", "5=Again"}));
    EXPECT_EQ(Profile::readSection(path, "BEACON"), Lines{"TEXT=hello"});
    EXPECT_TRUE(Profile::readSection(path, "NONE").empty());
}

TEST_F(ProfileTest, CrLfAndLfFilesReadAlike)
{
    put("[A]\r\nK=crlf\r\n[B]\nK=lf\n[C]\rK=cr");
    EXPECT_EQ(Profile::readString(path, "A", "K", ""), "crlf");
    EXPECT_EQ(Profile::readString(path, "B", "K", ""), "lf");
    EXPECT_EQ(Profile::readString(path, "C", "K", ""), "cr");
}

TEST_F(ProfileTest, WriteReplacesOneValueAndKeepsEverythingElse)
{
    const std::string before = "; operator's notes\r\n"
                               "\r\n"
                               "[USERS]\r\n"
                               "  ; one line per station\r\n"
                               "AB1CD = Ann   \r\n"
                               "n0call=Bob\r\n"
                               "EF2GH=Eve\r\n"
                               "\r\n"
                               "[INFO]\r\n"
                               "N0CALL=old info\r\n"
                               "; trailing comment\r\n";
    put(before);
    ASSERT_TRUE(Profile::writeString(path, "Users", "N0CALL", "Robert"));
    std::string expected = before;
    expected.replace(expected.find("n0call=Bob"), 10, "n0call=Robert");
    EXPECT_EQ(get(), expected);

    ASSERT_TRUE(Profile::writeString(path, "USERS", "AB1CD", "Anna"));
    expected.replace(expected.find("AB1CD = Ann   "), 14, "AB1CD = Anna");
    EXPECT_EQ(get(), expected);

    ASSERT_TRUE(Profile::writeString(path, "INFO", "N0CALL", ""));
    expected.replace(expected.find("N0CALL=old info"), 15, "N0CALL=");
    EXPECT_EQ(get(), expected);
    EXPECT_EQ(Profile::readString(path, "INFO", "N0CALL", "x"), "");
}

TEST_F(ProfileTest, WriteChangesOnlyTheFirstOfRepeatedKeys)
{
    put("[S]\nK=1\nK=2\n");
    ASSERT_TRUE(Profile::writeString(path, "S", "k", "3"));
    EXPECT_EQ(get(), "[S]\nK=3\nK=2\n");
    EXPECT_EQ(Profile::readString(path, "S", "K", ""), "3");
}

TEST_F(ProfileTest, WriteOfANewKeyGoesAfterTheLastEntryOfItsSection)
{
    put("[USERS]\r\nA=1\r\n\r\n; about INFO\r\n[INFO]\r\nA=x\r\n");
    ASSERT_TRUE(Profile::writeString(path, "USERS", "B", "2"));
    EXPECT_EQ(get(), "[USERS]\r\nA=1\r\nB=2\r\n\r\n; about INFO\r\n[INFO]\r\nA=x\r\n");

    put("[EMPTY]\n[NEXT]\nZ=9");
    ASSERT_TRUE(Profile::writeString(path, "empty", "K", "v"));
    EXPECT_EQ(get(), "[EMPTY]\nK=v\n[NEXT]\nZ=9");

    put("[LAST]\nZ=9");
    ASSERT_TRUE(Profile::writeString(path, "LAST", "K", "v"));
    EXPECT_EQ(get(), "[LAST]\nZ=9\nK=v\n");
    EXPECT_EQ(Profile::readSection(path, "LAST"), (Lines{"Z=9", "K=v"}));
}

TEST_F(ProfileTest, WriteIntoAMissingSectionAppendsIt)
{
    put("[USERS]\r\nA=1\r\n");
    ASSERT_TRUE(Profile::writeString(path, "INFO", "A", "data"));
    EXPECT_EQ(get(), "[USERS]\r\nA=1\r\n[INFO]\r\nA=data\r\n");

    put("[USERS]\nA=1");
    ASSERT_TRUE(Profile::writeString(path, "INFO", "A", "data"));
    EXPECT_EQ(get(), "[USERS]\nA=1\n[INFO]\nA=data\n");

    std::filesystem::remove(path);
    ASSERT_TRUE(Profile::writeString(path, "INFO", "A", "data"));
    EXPECT_EQ(get(), "[INFO]\r\nA=data\r\n");
}

TEST_F(ProfileTest, WriteFindsTheEntryWhereTheReaderDoes)
{
    // Entries after a header without "]" belong to no section for the reader.
    put("[S]\nA=1\n[BROKEN\nB=2\n");
    EXPECT_EQ(Profile::readString(path, "S", "B", "none"), "none");
    ASSERT_TRUE(Profile::writeString(path, "S", "B", "3"));
    EXPECT_EQ(Profile::readString(path, "S", "B", "none"), "3");
    EXPECT_EQ(get(), "[S]\nA=1\nB=3\n[BROKEN\nB=2\n");

    // A repeated section is read as one; the first entry is the one written.
    put("[S]\nA=1\n[T]\n[s]\nB=2\n");
    ASSERT_TRUE(Profile::writeString(path, "S", "B", "3"));
    EXPECT_EQ(get(), "[S]\nA=1\n[T]\n[s]\nB=3\n");
    EXPECT_EQ(Profile::readString(path, "S", "B", ""), "3");
}

TEST_F(ProfileTest, WriteTakesALoneBracketAsTheReaderDoes)
{
    // The reader skips line ends after a lone "[": the name is on the next line that is not blank.
    put("[\n\n  USERS]\nA=1\n[INFO]\n");
    ASSERT_TRUE(Profile::writeString(path, "USERS", "B", "2"));
    EXPECT_EQ(get(), "[\n\n  USERS]\nA=1\nB=2\n[INFO]\n");

    // At the end, it would swallow a section header appended after it.
    put("[OTHER]\r\nA=1\r\n[ \r\n\r\n");
    ASSERT_TRUE(Profile::writeString(path, "USERS", "A", "Ann"));
    EXPECT_EQ(get(), "[OTHER]\r\nA=1\r\n[USERS]\r\nA=Ann\r\n[ \r\n\r\n");
    EXPECT_EQ(Profile::readString(path, "USERS", "A", ""), "Ann");
}

TEST_F(ProfileTest, WriteRefusesWhatCouldNotBeReadBackAsOneEntry)
{
    const std::string before = "[USERS]\r\nA=1\r\n";
    put(before);
    EXPECT_FALSE(Profile::writeString(path, "USERS", "A", "x\r\n[INFO]"));
    EXPECT_FALSE(Profile::writeString(path, "USERS", "A", std::string("x\0y", 3)));
    EXPECT_FALSE(Profile::writeString(path, "USERS", "X=Y", "v"));
    EXPECT_FALSE(Profile::writeString(path, "USERS", "[INFO]", "v"));
    EXPECT_FALSE(Profile::writeString(path, "USERS", ";A", "v"));
    EXPECT_FALSE(Profile::writeString(path, "USERS", "", "v"));
    EXPECT_FALSE(Profile::writeString(path, "USERS", " A", "v"));
    EXPECT_FALSE(Profile::writeString(path, "US]ERS", "A", "v"));
    EXPECT_FALSE(Profile::writeString(path, "US\nERS", "A", "v"));
    EXPECT_EQ(get(), before);
}

TEST_F(ProfileTest, ByteOrderMarkIsSkippedAndKept)
{
    put("\xEF\xBB\xBF[S]\r\nA=1\r\n");
    EXPECT_EQ(Profile::readString(path, "S", "A", ""), "1");
    ASSERT_TRUE(Profile::writeString(path, "S", "A", "2"));
    EXPECT_EQ(get(), "\xEF\xBB\xBF[S]\r\nA=2\r\n");
}

} // namespace

namespace {

struct stat statOf(const std::string& path)
{
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info;
}

} // namespace

TEST_F(ProfileTest, WriteReplacesTheFileWholeKeepingItsPermissionsAndLink)
{
    put("[A]\r\nK=old\r\n");
    std::filesystem::permissions(path, std::filesystem::perms(0640));
    const ino_t before = statOf(path).st_ino;

    ASSERT_TRUE(Profile::writeStrings(path, {{"A", "K", "new"}, {"B", "L", "x"}}));
    EXPECT_EQ(get(), "[A]\r\nK=new\r\n[B]\r\nL=x\r\n");
    EXPECT_NE(statOf(path).st_ino, before) << "a new file took the old one's place";
    EXPECT_EQ(statOf(path).st_mode & 07777, 0640u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1) << "nothing left beside it";

    const std::string link = temp_.file("link.ini");
    std::filesystem::create_symlink(path, link);
    ASSERT_TRUE(Profile::writeString(link, "A", "K", "via link"));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(Profile::readString(path, "A", "K", ""), "via link");
}

TEST_F(ProfileTest, AFailedWriteLeavesTheOldFileWhole)
{
    std::string before = "[A]\r\n";
    for (int i = 0; i < 200; ++i)
        before += "K" + std::to_string(i) + "=value " + std::to_string(i) + "\r\n";
    put(before);

    std::string error;
    {
        FileSizeLimit full(before.size());
        EXPECT_FALSE(Profile::writeStrings(path, {{"A", "K0", "a longer value than before"}}, &error));
    }
    EXPECT_EQ(get(), before);
    EXPECT_EQ(error.rfind("cannot write " + path + ".new: ", 0), 0u) << error;
    EXPECT_FALSE(std::filesystem::exists(path + ".new"));
}

TEST_F(ProfileTest, AFailedSyncLeavesTheOldFileWhole)
{
    put("[A]\r\nK=old\r\n");
    std::string error;
    syncFails = true;
    const bool written = Profile::writeStrings(path, {{"A", "K", "new"}}, &error);
    syncFails = false;
    EXPECT_FALSE(written);
    EXPECT_EQ(get(), "[A]\r\nK=old\r\n");
    EXPECT_EQ(error, "cannot sync " + path + ".new: " + std::strerror(EIO));
    EXPECT_FALSE(std::filesystem::exists(path + ".new"));
}
