// A chat server on a fake AGWPE socket and a manual clock, with a temporary
// base directory, for the server's unit tests.
#pragma once

#include "fakes/FakeSocket.h"
#include "fakes/ManualClock.h"
#include "fakes/RecordingShell.h"
#include "fakes/TempDir.h"
#include "fakes/TraceFile.h"
#include "link/AgwFrame.h"
#include "server/chat.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

// One text as the link sent it: a "D" chain rejoined, or any other frame.
struct SentText {
    char Kind = 0;
    int Port = 0; // 1-based
    std::string From;
    std::string To;
    std::string Data;
};

class ChatTest : public ::testing::Test {
protected:
    ChatTest()
        : form(
              shell, clock, [] { return std::make_unique<FakeSocket>(); }, dir_ + "/")
    {
        TraceInto(form.Log, 5, dir_ + "/trace.log");
        auto socket = std::make_unique<FakeSocket>();
        fake = socket.get();
        form.L2 = std::make_unique<TL2>(std::move(socket), clock);
        form.L2->SetCallSign("N0SRV");
        form.L2->SetAddress("127.0.0.1");
        form.CallSign = "N0SRV";
        fake->Connect();
        fake->TakeSent();
        form.AddArea(0, "Root", true, "N0SRV");
        form.Registered = true;
        form.Timeout = 0;
    }

    // Everything the link sent since the last call; split "D" data is joined
    // again (a frame of 255 bytes continues in the next one to the same station).
    std::vector<SentText> Sent()
    {
        std::vector<SentText> texts;
        bool continues = false;
        for (const AgwFrame& frame : DecodeFrames(fake->TakeSent())) {
            const int port = frame.WirePort + 1;
            if (continues && frame.Kind == 'D' && texts.back().To == frame.CallTo && texts.back().Port == port)
                texts.back().Data += frame.Data;
            else
                texts.push_back({frame.Kind, port, frame.CallFrom, frame.CallTo, frame.Data});
            continues = frame.Kind == 'D' && frame.DataLen == 255;
        }
        return texts;
    }

    // The "D" texts sent to one station, in order.
    static std::vector<std::string> DataTo(const std::vector<SentText>& texts, const std::string& call)
    {
        std::vector<std::string> data;
        for (const SentText& text : texts)
            if (text.Kind == 'D' && text.To == call)
                data.push_back(text.Data);
        return data;
    }
    std::vector<std::string> TakeTo(const std::string& call) { return DataTo(Sent(), call); }

    // A user control block as a connection would leave it, without the
    // welcome: in Root, counted, online.
    TUser& AddUser(int32_t port, const std::string& call, int32_t areaId = 0)
    {
        TUser* user = form.NewUser(port, call);
        EXPECT_NE(user, nullptr);
        user->State = ONLINE;
        user->AreaId = areaId;
        form.IncAreaUsers(areaId);
        return *user;
    }

    // A station connects, or sends a line, as the engine reports it.
    void Connect(uint8_t port, const std::string& call, const std::string& to = "N0SRV")
    {
        form.OnConnect(*form.L2, port, call, to, "*** CONNECTED To Station " + call);
    }
    void Line(uint8_t port, const std::string& call, const std::string& text)
    {
        form.OnData(*form.L2, port, call, "N0SRV", 0xF0, text);
    }

    void Command(TUser& user, const std::string& line) { form.ExecuteCommand(user.Port, user.CallSign, user, line); }

    void WriteText(const std::string& name, const std::string& content)
    {
        std::filesystem::create_directories(dir_ + "/TEXT");
        ::WriteFile(dir_ + "/TEXT/" + name, content);
    }
    void WriteFile(const std::string& name, const std::string& content) { ::WriteFile(dir_ + "/" + name, content); }

    // The trace lines without their date and time.
    std::vector<std::string> Trace() { return ReadTraceText(form.Log.LogFile); }
    bool Traced(const std::string& text)
    {
        for (const std::string& line : Trace())
            if (line == text)
                return true;
        return false;
    }

    TempDir temp_{"palavoro-chat"}; // first, so it is removed after the server has gone
    std::string dir_ = temp_.Str();
    RecordingShell shell;
    ManualClock clock;
    TForm1 form;
    FakeSocket* fake = nullptr;
};

using Texts = std::vector<std::string>;
