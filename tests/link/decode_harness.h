// A link on a fake socket and a manual clock, with an owner that records every
// event it raises (arguments included) and a trace file in a temporary directory.
#pragma once

#include "fakes/FakeSocket.h"
#include "fakes/ManualClock.h"
#include "fakes/TempDir.h"
#include "fakes/TraceFile.h"
#include "link/AGWL2.h"
#include "link/AgwFrame.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace decode_test {

// Bytes made readable: printable ASCII as is, everything else (and the backslash) as \xHH.
inline std::string Show(std::string_view bytes)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 0x0F];
        }
    }
    return out;
}

inline std::string Args()
{
    return {};
}

template <typename T> std::string Arg(const T& value)
{
    if constexpr (std::is_same_v<T, std::string>)
        return Show(value);
    else if constexpr (std::is_same_v<T, char>)
        return std::string(1, value);
    else
        return std::to_string(static_cast<long long>(value));
}

template <typename First, typename... Rest> std::string Args(const First& first, const Rest&... rest)
{
    std::string out = Arg(first);
    ((out += "|" + Arg(rest)), ...);
    return out;
}

class LinkFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto socket = std::make_unique<FakeSocket>();
        socket_ = socket.get();
        link_ = std::make_unique<TL2>(std::move(socket), clock_);
        link_->CallSign = "N0SRV";
        TraceInto(link_->Log, 5, dir_.File("trace.log"));
    }

    void TearDown() override { link_.reset(); }

    // A callable that records "Name(arg|arg|...)" and checks that the sender is this link.
    auto Recorder(std::string name)
    {
        return [this, name](TL2& sender, const auto&... args) {
            EXPECT_EQ(&sender, link_.get()) << name;
            events_.push_back(name + "(" + Args(args...) + ")");
        };
    }

    // Subscribes the recorder to every event that Decode raises.
    void RecordAll()
    {
        TL2& l = *link_;
        l.FOnFrame = Recorder("OnFrame");
        l.FOnHisConnect = Recorder("OnHisConnect");
        l.FOnMyConnect = Recorder("OnMyConnect");
        l.FOnAnyConnect = Recorder("OnAnyConnect");
        l.FOnConnectEx = Recorder("OnConnectEx");
        l.FOnRetryOut = Recorder("OnRetryOut");
        l.FOnHisDisconnect = Recorder("OnHisDisconnect");
        l.FOnMyDisconnect = Recorder("OnMyDisconnect");
        l.FOnDisconnect = Recorder("OnDisconnect");
        l.FOnDisconnectEx = Recorder("OnDisconnectEx");
        l.FOnData = Recorder("OnData");
        l.FOnDataUI = Recorder("OnDataUI");
        l.FOnMonitor = Recorder("OnMonitor");
        l.FOnIFrame = Recorder("OnIFrame");
        l.FOnUIFrame = Recorder("OnUIFrame");
        l.FOnSFrame = Recorder("OnSFrame");
        l.FOnRegister = Recorder("OnRegister");
        l.FOnUnRegister = Recorder("OnUnRegister");
        l.FOnVersion = Recorder("OnVersion");
        l.FOnPort = Recorder("OnPort");
        l.FOnParameter = Recorder("OnParameter");
        l.FOnPortFrames = Recorder("OnPortFrames");
        l.FOnRawFrame = Recorder("OnRawFrame");
    }

    // Subscribes the recorder to every event but OnFrame, which is raised for every frame.
    void RecordAllButFrame()
    {
        RecordAll();
        link_->FOnFrame = nullptr;
    }

    std::vector<std::string> TakeEvents() { return std::exchange(events_, {}); }

    // The trace as written: time stamps stripped from log lines, dump lines kept whole.
    std::vector<std::string> TraceLines() { return ReadTrace(link_->Log.LogFile); }

    void ClearTrace() { std::filesystem::remove(link_->Log.LogFile); }

    // Connects the fake socket (the link sends "G" and "R" on connect) and forgets what went out.
    void ConnectLink()
    {
        socket_->Connect();
        socket_->TakeSent();
        ClearTrace();
    }

    void DecodeFrame(uint8_t port, char kind, const std::string& from, const std::string& to, const std::string& data,
                     uint8_t pid = 0)
    {
        link_->Decode(port, pid, kind, from, to, static_cast<int32_t>(data.size()), data);
    }

    ManualClock clock_;
    FakeSocket* socket_ = nullptr;
    std::unique_ptr<TL2> link_;
    TempDir dir_{"palavoro-decode"};
    std::vector<std::string> events_;
};

} // namespace decode_test
