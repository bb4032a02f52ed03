// A chat server on a fake AGWPE socket and a manual clock, with a temporary
// base directory, for the server's unit tests.
#pragma once

#include "fakes/AgwLinkProbe.h"
#include "fakes/FakeSocket.h"
#include "fakes/ManualClock.h"
#include "fakes/RecordingShell.h"
#include "fakes/TempDir.h"
#include "fakes/TraceFile.h"
#include "link/AgwFrame.h"
#include "server/ChatServer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

// One text as the link sent it: a "D" chain rejoined, or any other frame.
struct SentText {
    char kind = 0;
    int port = 0; // 1-based
    std::string from;
    std::string to;
    std::string data;
};

class ChatTest : public ::testing::Test {
protected:
    ChatTest()
        : form(
              shell, clock, [] { return std::make_unique<FakeSocket>(); }, dir_ + "/")
    {
        traceInto(form.traceLog(), 5, dir_ + "/trace.log");
        auto socket = std::make_unique<FakeSocket>();
        fake = socket.get();
        form.replaceLink(std::make_unique<AgwLink>(std::move(socket), clock));
        form.link()->setCallSign("N0SRV");
        form.link()->setAddress("127.0.0.1");
        form.settings().callSign = "N0SRV";
        fake->connect();
        fake->takeSent();
        form.directory().addArea(0, "Root", true, "N0SRV");
        form.connections().setRegistered(true);
        form.settings().timeout = 0;
        // The behaviour of a lost link that ends the program; the reconnect tests turn it on.
        form.settings().reconnect = false;
        form.stats().clock = [this] { return static_cast<int64_t>(clock.now()); };
    }

    // Everything the link sent since the last call; split "D" data is joined
    // again (a frame of 255 bytes continues in the next one to the same station).
    std::vector<SentText> sentTexts()
    {
        std::vector<SentText> texts;
        bool continues = false;
        for (const AgwFrame& frame : decodeFrames(fake->takeSent())) {
            const int port = frame.wirePort + 1;
            if (continues && frame.kind == 'D' && texts.back().to == frame.callTo && texts.back().port == port)
                texts.back().data += frame.data;
            else
                texts.push_back({frame.kind, port, frame.callFrom, frame.callTo, frame.data});
            continues = frame.kind == 'D' && frame.dataLen == 255;
        }
        return texts;
    }

    // The "D" texts sent to one station, in order.
    static std::vector<std::string> dataTo(const std::vector<SentText>& texts, const std::string& call)
    {
        std::vector<std::string> data;
        for (const SentText& text : texts)
            if (text.kind == 'D' && text.to == call)
                data.push_back(text.data);
        return data;
    }
    std::vector<std::string> takeTo(const std::string& call) { return dataTo(sentTexts(), call); }

    // A user control block as a connection would leave it, without the
    // welcome: in Root, counted, online.
    Station& addUser(int32_t port, const std::string& call, int32_t areaId = 0)
    {
        Station* user = form.directory().newStation(port, call);
        EXPECT_NE(user, nullptr);
        user->state = ONLINE;
        form.directory().moveStation(*user, areaId);
        return *user;
    }

    // A station connects, or sends a line, as the engine reports it.
    void connect(uint8_t port, const std::string& call, const std::string& to = "N0SRV")
    {
        form.connections().handleConnect(*form.link(), port, call, to, "*** CONNECTED To Station " + call);
    }
    void line(uint8_t port, const std::string& call, const std::string& text)
    {
        form.connections().handleData(*form.link(), port, call, "N0SRV", 0xF0, text);
    }

    void command(Station& user, const std::string& line)
    {
        form.commands().execute(user.port, user.callSign, user, line);
    }

    void writeText(const std::string& name, const std::string& content)
    {
        std::filesystem::create_directories(dir_ + "/TEXT");
        ::writeFile(dir_ + "/TEXT/" + name, content);
    }
    void writeFile(const std::string& name, const std::string& content) { ::writeFile(dir_ + "/" + name, content); }

    // The trace lines without their date and time.
    std::vector<std::string> traceLines() { return readTraceText(form.traceLog().logFile); }
    bool traced(const std::string& text)
    {
        for (const std::string& line : traceLines())
            if (line == text)
                return true;
        return false;
    }

    TempDir temp_{"palavoro-chat"}; // first, so it is removed after the server has gone
    std::string dir_ = temp_.str();
    RecordingShell shell;
    ManualClock clock;
    ChatServer form;
    FakeSocket* fake = nullptr;
};

using Texts = std::vector<std::string>;
