// A link object on a FakeSocket and a ManualClock, tracing everything into a
// file of its own, with helpers to read the trace and the frames sent.
#pragma once

#include "fakes/AgwLinkProbe.h"
#include "fakes/FakeSocket.h"
#include "fakes/Frames.h"
#include "fakes/ManualClock.h"
#include "fakes/TempDir.h"
#include "fakes/TraceFile.h"
#include "link/AgwLink.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace linktest {

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto fake = std::make_unique<FakeSocket>();
        socket = fake.get();
        l2 = std::make_unique<AgwLink>(std::move(fake), clock);
        traceInto(l2->traceLog(), 5, dir_.file("trace.log"));
        recordFrames(*l2, seen);
    }

    // The link's last trace lines go to the directory, which goes after it.
    void TearDown() override { l2.reset(); }

    std::vector<std::string> trace() const { return readTrace(dir_.path() / "trace.log"); }

    // The trace without hex-dump lines.
    std::vector<std::string> traceText() const { return readTraceText(dir_.path() / "trace.log"); }

    std::string traceFile() const { return readFile(dir_.path() / "trace.log"); }

    void clearTrace() { std::filesystem::remove(dir_.path() / "trace.log"); }

    // Brings the TCP connection up with no login and forgets what that sent and traced.
    void bringUp()
    {
        socket->connect();
        socket->takeSent();
        clearTrace();
    }

    std::vector<AgwFrame> sentFrames() { return decodeFrames(socket->takeSent()); }

    ManualClock clock;
    FakeSocket* socket = nullptr;
    std::unique_ptr<AgwLink> l2;
    std::vector<SeenFrame> seen;

private:
    TempDir dir_{"palavoro-link"};
};

} // namespace linktest
