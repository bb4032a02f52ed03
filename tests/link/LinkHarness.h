// A link object on a FakeSocket and a ManualClock, tracing everything into a
// file of its own, with helpers to read the trace and the frames sent.
#pragma once

#include "fakes/FakeSocket.h"
#include "fakes/Frames.h"
#include "fakes/ManualClock.h"
#include "fakes/TempDir.h"
#include "fakes/TraceFile.h"
#include "link/AGWL2.h"

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
        l2 = std::make_unique<TL2>(std::move(fake), clock);
        TraceInto(l2->Log, 5, dir_.File("trace.log"));
        RecordFrames(*l2, seen);
    }

    // The link's last trace lines go to the directory, which goes after it.
    void TearDown() override { l2.reset(); }

    std::vector<std::string> Trace() const { return ReadTrace(dir_.Path() / "trace.log"); }

    // The trace without hex-dump lines.
    std::vector<std::string> TraceText() const { return ReadTraceText(dir_.Path() / "trace.log"); }

    std::string TraceFile() const { return ReadFile(dir_.Path() / "trace.log"); }

    void ClearTrace() { std::filesystem::remove(dir_.Path() / "trace.log"); }

    // Brings the TCP connection up with no login and forgets what that sent and traced.
    void BringUp()
    {
        socket->Connect();
        socket->TakeSent();
        ClearTrace();
    }

    std::vector<AgwFrame> SentFrames() { return DecodeFrames(socket->TakeSent()); }

    ManualClock clock;
    FakeSocket* socket = nullptr;
    std::unique_ptr<TL2> l2;
    std::vector<SeenFrame> seen;

private:
    TempDir dir_{"palavoro-link"};
};

} // namespace linktest
