// A link on a fake socket and a manual clock, with an owner that records every
// event it raises (arguments included) and a trace file in a temporary directory.
#pragma once

#include "fakes/AgwLinkProbe.h"
#include "fakes/FakeSocket.h"
#include "fakes/ManualClock.h"
#include "fakes/TempDir.h"
#include "fakes/TraceFile.h"
#include "link/AgwFrame.h"
#include "link/AgwLink.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace decode_test {

// Bytes made readable: printable ASCII as is, everything else (and the backslash) as \xHH.
inline std::string show(std::string_view bytes)
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

inline std::string joinArgs()
{
    return {};
}

template <typename T> std::string arg(const T& value)
{
    if constexpr (std::is_same_v<T, std::string>)
        return show(value);
    else if constexpr (std::is_same_v<T, char>)
        return std::string(1, value);
    else
        return std::to_string(static_cast<long long>(value));
}

template <typename First, typename... Rest> std::string joinArgs(const First& first, const Rest&... rest)
{
    std::string out = arg(first);
    ((out += "|" + arg(rest)), ...);
    return out;
}

class LinkFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto socket = std::make_unique<FakeSocket>();
        socket_ = socket.get();
        link_ = std::make_unique<AgwLink>(std::move(socket), clock_);
        AgwLinkProbe::setCallSign(*link_, "N0SRV");
        traceInto(link_->traceLog(), 5, dir_.file("trace.log"));
    }

    void TearDown() override { link_.reset(); }

    // A callable that records "Name(arg|arg|...)" and checks that the sender is this link.
    auto recorder(std::string name)
    {
        return [this, name](AgwLink& sender, const auto&... args) {
            EXPECT_EQ(&sender, link_.get()) << name;
            events_.push_back(name + "(" + joinArgs(args...) + ")");
        };
    }

    // Subscribes the recorder to every event that Decode raises.
    void recordAll()
    {
        AgwLink& l = *link_;
        l.onFrame = recorder("OnFrame");
        l.onHisConnect = recorder("OnHisConnect");
        l.onMyConnect = recorder("OnMyConnect");
        l.onAnyConnect = recorder("OnAnyConnect");
        l.onConnectEx = recorder("OnConnectEx");
        l.onRetryOut = recorder("OnRetryOut");
        l.onHisDisconnect = recorder("OnHisDisconnect");
        l.onMyDisconnect = recorder("OnMyDisconnect");
        l.onDisconnect = recorder("OnDisconnect");
        l.onDisconnectEx = recorder("OnDisconnectEx");
        l.onData = recorder("OnData");
        l.onDataUI = recorder("OnDataUI");
        l.onMonitor = recorder("OnMonitor");
        l.onIFrame = recorder("OnIFrame");
        l.onUIFrame = recorder("OnUIFrame");
        l.onSFrame = recorder("OnSFrame");
        l.onRegister = recorder("OnRegister");
        l.onUnRegister = recorder("OnUnRegister");
        l.onVersion = recorder("OnVersion");
        l.onPort = recorder("OnPort");
        l.onParameter = recorder("OnParameter");
        l.onPortFrames = recorder("OnPortFrames");
        l.onRawFrame = recorder("OnRawFrame");
    }

    // Subscribes the recorder to every event but OnFrame, which is raised for every frame.
    void recordAllButFrame()
    {
        recordAll();
        link_->onFrame = nullptr;
    }

    std::vector<std::string> takeEvents() { return std::exchange(events_, {}); }

    // The trace as written: time stamps stripped from log lines, dump lines kept whole.
    std::vector<std::string> traceLines() { return readTrace(link_->traceLog().logFile); }

    void clearTrace() { std::filesystem::remove(link_->traceLog().logFile); }

    // Connects the fake socket (the link sends "G" and "R" on connect) and forgets what went out.
    void connectLink()
    {
        socket_->connect();
        socket_->takeSent();
        clearTrace();
    }

    void decodeFrame(uint8_t port, char kind, const std::string& from, const std::string& to, const std::string& data,
                     uint8_t pid = 0)
    {
        link_->decode(port, pid, kind, from, to, static_cast<int32_t>(data.size()), data);
    }

    ManualClock clock_;
    FakeSocket* socket_ = nullptr;
    std::unique_ptr<AgwLink> link_;
    TempDir dir_{"palavoro-decode"};
    std::vector<std::string> events_;
};

} // namespace decode_test
