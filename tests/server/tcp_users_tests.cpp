// Chat users over TCP: the login, the user as a station beside the radio
// stations (with or without the engine), the bounds on what strangers can
// make the server hold, and the passwords the sysop sets.
#include "ChatFixture.h"
#include "fakes/FakeListenSocket.h"
#include "server/SettingsCheck.h"
#include "server/TcpLogin.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace {

using namespace std::string_view_literals;

// What a connection was sent and whether it was closed, kept after the server has let go of it.
struct Wire {
    std::string sent;
    bool closed = false;
};

class WireSocket : public FakeSocket {
public:
    explicit WireSocket(std::shared_ptr<Wire> wire) : wire_(std::move(wire)) { open = true; }
    void sendBytes(std::string_view bytes) override
    {
        FakeSocket::sendBytes(bytes);
        wire_->sent.append(bytes);
    }
    void close() override
    {
        FakeSocket::close();
        wire_->closed = true;
    }

private:
    std::shared_ptr<Wire> wire_;
};

// One user's end of a connection.
struct Peer {
    WireSocket* socket = nullptr; // only while the connection is open
    std::shared_ptr<Wire> wire = std::make_shared<Wire>();
    void type(const std::string& bytes) const
    {
        ASSERT_FALSE(wire->closed);
        socket->deliver(bytes);
    }
    std::string take() const { return std::exchange(wire->sent, {}); }
};

const std::string ECHO_OFF(TcpLogin::ECHO_OFF);
const std::string ECHO_ON(TcpLogin::ECHO_ON);
const std::string WELCOME = "Welcome to the N0SRV Chat Server\r\n";

class TcpUsersTest : public ChatTest {
protected:
    TcpUsersTest()
    {
        form.setListenFactory([this] {
            auto made = std::make_unique<FakeListenSocket>();
            listener = made.get();
            return made;
        });
        form.settings().engineWait = 60000;
        form.tcpUsers().configure({true, "127.0.0.1", 7300});
        std::string error;
        EXPECT_TRUE(form.passwords().set("N0ABC", "secret", error)) << error;
    }

    Peer arrive(const std::string& address = "127.0.0.1")
    {
        Peer peer;
        auto socket = std::make_unique<WireSocket>(peer.wire);
        peer.socket = socket.get();
        listener->onAccept(std::move(socket), address);
        return peer;
    }
    Peer logIn(const std::string& call, const std::string& password = "secret",
               const std::string& address = "127.0.0.1")
    {
        Peer peer = arrive(address);
        peer.type(call + "\r\n");
        peer.type(password + "\r\n");
        return peer;
    }
    size_t logged(const std::string& text) const
    {
        return static_cast<size_t>(std::count(shell.connectionLog.begin(), shell.connectionLog.end(), text));
    }

    FakeListenSocket* listener = nullptr;
};

TEST_F(TcpUsersTest, AUserLogsInWithoutTheEngineAndChatsWithARadioStation)
{
    EXPECT_EQ(listener->port, 7300u);
    // No engine has taken the callsign: a radio station would be refused, a user over TCP is not.
    form.connections().setRegistered(false);
    Peer user = arrive();
    EXPECT_EQ(user.take(), "Callsign: ");
    user.type("n0abc-7\r\n");
    EXPECT_EQ(user.take(), ECHO_OFF + "Password: ");
    user.type("secret\r\n");
    EXPECT_EQ(user.take(), ECHO_ON + "\r\n" + WELCOME + "\r\n[0]{N0ABC-7 de N0SRV}:\r\n");
    EXPECT_EQ(shell.connectionLog.back(), "connect N0ABC-7 tcp: from 127.0.0.1");

    form.connections().setRegistered(true);
    connect(1, "N0RAD");
    sentTexts();
    EXPECT_EQ(user.take(), "[0]<N0RAD@N0SRV> <N0RAD joined Area>\r\n\r\n");

    // Its line reaches the radio as a packet terminal's would; the radio's line reaches it with CR LF.
    user.type("hello\r\n");
    EXPECT_EQ(takeTo("N0RAD"), Texts{"[0]<N0ABC-7@N0SRV> hello\r\r"});
    EXPECT_EQ(user.take(), "\r\n[0]{N0ABC-7 de N0SRV}:\r\n");
    line(1, "N0RAD", "/U n0abc-7\r");
    EXPECT_EQ(takeTo("N0RAD").front(), "\r-- User(tcp:N0ABC-7) Name() Info() Area(0-Root)\r");

    user.take();
    user.type("/B\r\n");
    EXPECT_EQ(user.take(), "\r\n--- GoodBye!\r\n");
    EXPECT_TRUE(user.wire->closed);
    EXPECT_EQ(shell.connectionLog.back(), "left N0ABC-7 tcp: bye");
}

TEST_F(TcpUsersTest, WrongLoginsAreRefusedAndAnAddressThatKeepsTryingIsBarred)
{
    struct Case {
        const char* what;
        std::string call;
        std::string password;
    };
    const std::vector<Case> cases = {
        {"a wrong password", "N0ABC", "guess"},
        {"a callsign without a password", "N0XYZ", "secret"},
        {"no callsign", "N0ABC-99", "secret"},
    };
    Peer peer = arrive("192.0.2.1");
    peer.take();
    for (const Case& each : cases) {
        peer.type(each.call + "\r\n" + each.password + "\r");
        const std::string answer = ECHO_OFF + "Password: " + ECHO_ON + "\r\nLogin incorrect\r\n";
        // The third try is the last.
        EXPECT_EQ(peer.take(), &each == &cases.back() ? answer : answer + "Callsign: ") << each.what;
    }
    EXPECT_TRUE(peer.wire->closed);
    EXPECT_EQ(form.directory().stationCount(), 0u);

    // Five failures within a minute bar the address for ten minutes; others still log in.
    clock.advance(30000);
    Peer again = arrive("192.0.2.1");
    again.type("N0ABC\r\nno\r\nN0ABC\r\nno\r\n");
    EXPECT_TRUE(again.wire->closed);
    EXPECT_TRUE(arrive("192.0.2.1").wire->closed);
    EXPECT_EQ(logged("tcp refused from 192.0.2.1: 5 failed logins within a minute, refused for 10 minutes"), 1u);
    EXPECT_EQ(logged("tcp login failed from 192.0.2.1: N0ABC"), 1u) << "one line a minute per cause";
    EXPECT_FALSE(logIn("N0ABC", "secret", "192.0.2.2").wire->closed);
    clock.advance(TcpUsers::BARRED_FOR);
    EXPECT_FALSE(logIn("N0ABC-1", "secret", "192.0.2.1").wire->closed);
    EXPECT_EQ(form.directory().stationCount(), 2u);
}

TEST_F(TcpUsersTest, ConnectionsWaitingForTheirLoginAreBounded)
{
    std::vector<Peer> waiting{arrive("198.51.100.1"), arrive("198.51.100.1")};
    EXPECT_TRUE(arrive("198.51.100.1").wire->closed) << "2 per address";
    for (int i = 2; i < 16; ++i)
        waiting.push_back(arrive("198.51.100." + std::to_string(i)));
    EXPECT_TRUE(arrive("198.51.100.99").wire->closed) << "16 in all";

    // A login of 60 s at the most.
    waiting[0].type("N0ABC\r\n");
    clock.advance(TcpUsers::LOGIN_WAIT);
    for (const Peer& peer : waiting)
        EXPECT_TRUE(peer.wire->closed);
    EXPECT_EQ(form.tcpUsers().waitingCount(), 0u);
    EXPECT_FALSE(logIn("N0ABC", "secret", "198.51.100.1").wire->closed);
}

TEST_F(TcpUsersTest, SixtyFourUsersAtOnceAndAUserOnMayLogInAgain)
{
    // "secret" at yescrypt's lowest cost, so that 65 logins are quick.
    const std::string hash = "$y$j75$HcgbB3/WsHf2T8iRxUfgA.$o25a3lUJKHqI8gnbZcdW7huQXRerE.BdTwEo5faLEg2";
    std::string file = "[PASSWORDS]\r\n";
    for (int i = 0; i <= 64; ++i)
        file += "N0U" + std::to_string(100 + i) + "=" + hash + "\r\n";
    writeFile("Palavoro.PWD", file);
    std::vector<Peer> users;
    for (int i = 0; i < 64; ++i)
        users.push_back(logIn("N0U" + std::to_string(100 + i), "secret", "10.0.0." + std::to_string(i)));
    EXPECT_EQ(form.directory().stationCount(), 64u);
    const Peer late = logIn("N0U164", "secret", "10.0.1.1");
    EXPECT_TRUE(late.wire->closed);
    EXPECT_TRUE(late.wire->sent.ends_with(TcpUsers::FULL));
    EXPECT_EQ(logged("tcp refused from 10.0.1.1: 64 users are on"), 1u);
    EXPECT_TRUE(logIn("N0U100-1", "secret", "10.0.1.2").wire->closed) << "N0U100-1 is another station";
    EXPECT_FALSE(logIn("N0U101", "secret", "10.0.1.3").wire->closed) << "a user on takes its stay over";
    EXPECT_TRUE(users[1].wire->closed);
}

TEST(TcpUsersSettings, ListenIsOffUnlessSetAndABarePortIsOnTheLoopback)
{
    TempDir dir{"palavoro-tcp-ini"};
    auto read = [&](const std::string& section, ServerSettings& settings) {
        writeFile(dir.str() + "/Palavoro.INI", "[PALAVORO]\r\nCALLSIGN=N0SRV\r\n" + section);
        std::string disable;
        return readStation(dir.str() + "/", settings, disable, nullptr);
    };
    ServerSettings off, bare, bad;
    EXPECT_TRUE(read("", off).empty());
    EXPECT_FALSE(off.tcpUsers.on);
    EXPECT_TRUE(read("[tcpusers]\r\nlisten=7300\r\n", bare).empty());
    EXPECT_TRUE(bare.tcpUsers.on);
    EXPECT_EQ(bare.tcpUsers.address + ":" + std::to_string(bare.tcpUsers.port), "127.0.0.1:7300");
    EXPECT_EQ(read("[TCPUSERS]\r\nLISTEN=here\r\n", bad),
              (SettingsProblems{{"Palavoro.INI: [TCPUSERS] LISTEN=here is not address:port, a port, or NOT", true}}));
}

TEST_F(TcpUsersTest, AUserWhoStopsReadingIsDroppedWhileTheRadioChatsOn)
{
    Peer user = logIn("N0ABC");
    connect(1, "N0RAD");
    connect(2, "N0TWO");
    user.socket->holdSent = true;
    user.take();
    sentTexts();
    const std::string text(200, 'x');
    for (int i = 0; i < 200; ++i)
        line(1, "N0RAD", text + "\r");
    // What does not fit its connection waits in the server; the radio gets every line.
    EXPECT_LT(user.socket->bytesToWrite(), StationOutput::DIRECT_WINDOW + 2 * text.size());
    EXPECT_GT(form.output().waiting(TCP_USER_PORT, "N0ABC"), 0u);
    EXPECT_EQ(takeTo("N0TWO").size(), 200u);

    // Taking some keeps it on; taking nothing for ENGINEWAIT drops it.
    clock.advance(50000);
    user.socket->take(1000);
    clock.advance(50000);
    EXPECT_FALSE(user.wire->closed);
    clock.advance(10000);
    EXPECT_TRUE(user.wire->closed);
    EXPECT_EQ(shell.connectionLog.back(), "left N0ABC tcp: not reading, nothing taken for 60 s");
    EXPECT_EQ(takeTo("N0TWO"), Texts{"[0]<N0ABC@N0SRV> <N0ABC left Area>\r\r"});
    EXPECT_EQ(form.output().waiting(TCP_USER_PORT, "N0ABC"), 0u);
}

TEST_F(TcpUsersTest, ASecondLoginOfTheSameCallTakesTheStayOver)
{
    form.directory().addArea(1, "One", true, "N0SRV");
    connect(1, "N0RAD");
    Peer first = logIn("N0ABC");
    first.type("/J 1\r\n");
    line(1, "N0RAD", "/J 1\r");
    sentTexts();
    Peer second = logIn("n0abc", "secret", "127.0.0.2");
    EXPECT_TRUE(first.wire->closed);
    // The stay goes on in its area, and nobody sees it leave or come.
    EXPECT_EQ(second.take(),
              "Callsign: " + ECHO_OFF + "Password: " + ECHO_ON + "\r\n" + WELCOME + "\r\n[1]{N0ABC de N0SRV}:\r\n");
    EXPECT_EQ(form.directory().stationCount(), 2u);
    EXPECT_EQ(shell.connectionLog.back(), "reconnect N0ABC tcp");
    EXPECT_EQ(takeTo("N0RAD"), Texts{});
    second.type("still here\r\n");
    EXPECT_EQ(takeTo("N0RAD"), Texts{"[1]<N0ABC@N0SRV> still here\r\r"});
}

TEST_F(TcpUsersTest, TheStopTellsUsersAndClosesEvenAUserWhoDoesNotRead)
{
    Peer reading = logIn("N0ABC");
    Peer stuck = logIn("N0ABC-1");
    stuck.socket->holdSent = true;
    reading.take();
    bool done = false;
    form.stop([&done] { done = true; });
    EXPECT_EQ(reading.take(), "\r\n--- Server shutting down, 73!\r\n");
    EXPECT_TRUE(reading.wire->closed);
    EXPECT_FALSE(done);
    clock.advance(Connections::STOP_WAIT);
    EXPECT_TRUE(done);
    EXPECT_TRUE(stuck.wire->closed);
    EXPECT_EQ(form.tcpUsers().userCount(), 0u);
}

TEST(TcpLogin, TelnetIsSkippedLineEndsBecomeCrAndTheServersCrsGoOutAsCrLf)
{
    TcpLogin login;
    std::string sent, said, call, password;
    login.onSend = [&](std::string_view bytes) { sent += bytes; };
    login.onLogin = [&](const std::string& c, const std::string& p) {
        call = c;
        password = p;
        return true;
    };
    login.onText = [&](std::string_view text) { said += text; };
    login.start();
    // A telnet client's opening: options, a subnegotiation, then the callsign in pieces.
    login.receive("\xFF\xFD\x03\xFF\xFB\x18\xFF\xFA\x18\x00xterm\xFF\xF0n0"sv);
    login.receive("abc\r");
    login.receive("\0p\xFF\xFFw\n"sv);
    EXPECT_EQ(call, "N0ABC");
    EXPECT_EQ(password, "p\xFFw");
    login.receive("one\r\0two\r"sv);
    login.receive("\nthree\nfour\xFF\xF1\r\n");
    EXPECT_EQ(said, "one\rtwo\rthree\rfour\r");
    EXPECT_EQ(sent, "Callsign: " + ECHO_OFF + "Password: " + ECHO_ON + "\r\n");
    EXPECT_EQ(TcpLogin::forTerminal("a\rb\xFF\r"), "a\r\nb\xFF\xFF\r\n");
}

TEST_F(TcpUsersTest, TheSysopSetsListsAndRemovesPasswordsThatAreKeptOnlyHashed)
{
    const ControlReply set = form.control({"passwd", "n0xyz-3", "pass word"}, 1000);
    EXPECT_TRUE(set.done) << set.text;
    EXPECT_EQ(shell.connectionLog.back(), "ctl: passwd n0xyz-3 (password) (uid 1000)");
    const std::string path = dir_ + "/Palavoro.PWD";
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::stringstream file;
    file << std::ifstream(path).rdbuf();
    EXPECT_EQ(file.str().find("pass word"), std::string::npos);
    EXPECT_NE(file.str().find("N0XYZ=$y$"), std::string::npos) << file.str();

    EXPECT_EQ(form.control({"passwd", "-l"}, 1000).text, "N0ABC\nN0XYZ\n");
    EXPECT_TRUE(form.passwords().check("N0XYZ-9", "pass word"));
    EXPECT_FALSE(form.control({"passwd", "N0XYZ-99", "x"}, 1000).done);
    EXPECT_TRUE(form.control({"passwd", "-d", "N0XYZ"}, 1000).done);
    EXPECT_FALSE(form.control({"passwd", "-d", "N0XYZ"}, 1000).done);
    EXPECT_FALSE(form.passwords().check("N0XYZ", "pass word"));
}

} // namespace
