#include "decode_direwolf_vectors.h"
#include "decode_harness.h"

using decode_test::LinkFixture;
using ::testing::ElementsAre;

namespace {

template <size_t N> std::string bytes(const char (&raw)[N])
{
    return std::string(raw, N - 1);
}

class DireWolfFrames : public LinkFixture {
protected:
    // The stream arrives in reads of `chunk` bytes, as TCP may cut it anywhere.
    void deliver(const std::string& stream, size_t chunk)
    {
        for (size_t at = 0; at < stream.size(); at += chunk)
            socket_->deliver(stream.substr(at, chunk));
    }
};

const std::vector<std::string> SERVER_EVENTS = {
    "OnRegister(1|N0SRV|\\x01)",
    "OnPort()",
    "OnVersion(2005|127)",
    "OnParameter()",
    "OnPortFrames(1|0)",
    "OnHisConnect(1|N0USR|*** CONNECTED To Station N0USR)",
    "OnAnyConnect(1|N0USR|*** CONNECTED To Station N0USR)",
    "OnConnectEx(1|N0USR|N0SRV|*** CONNECTED To Station N0USR)",
    "OnData(1|N0USR|N0SRV|240|hello\\x0D)",
    "OnHisDisconnect(1|N0USR|*** DISCONNECTED From Station N0USR)",
    "OnDisconnect(1|N0USR|*** DISCONNECTED From Station N0USR)",
    "OnDisconnectEx(1|N0USR|N0SRV|*** DISCONNECTED From Station N0USR)",
    "OnMyConnect(1|N0USR|*** CONNECTED With Station N0USR)",
    "OnAnyConnect(1|N0USR|*** CONNECTED With Station N0USR)",
    "OnConnectEx(1|N0USR|N0SRV|*** CONNECTED With Station N0USR)",
    "OnHisDisconnect(1|N0USR|*** DISCONNECTED From Station N0USR)",
    "OnDisconnect(1|N0USR|*** DISCONNECTED From Station N0USR)",
    "OnDisconnectEx(1|N0USR|N0SRV|*** DISCONNECTED From Station N0USR)",
    "OnRetryOut(1|N0NONE|*** DISCONNECTED RETRYOUT With N0NONE)",
    "OnDisconnect(1|N0NONE|*** DISCONNECTED RETRYOUT With N0NONE)",
    "OnDisconnectEx(1|N0NONE|N0SRV|*** DISCONNECTED RETRYOUT With N0NONE)",
};

TEST_F(DireWolfFrames, ServerConversationRaisesEveryEvent)
{
    for (size_t chunk : {size_t{1}, size_t{7}, size_t{36}, size_t{4096}}) {
        SCOPED_TRACE(chunk);
        TearDown();
        SetUp();
        connectLink();
        recordAllButFrame();
        deliver(bytes(DIREWOLF_SERVER_STREAM), chunk);
        EXPECT_EQ(takeEvents(), SERVER_EVENTS);
        EXPECT_TRUE(link_->isRegistered());
        EXPECT_EQ(link_->portCount(), 1);
        EXPECT_EQ(link_->enginePort(1).portName, "Port1 first soundcard mono");
        EXPECT_EQ(link_->enginePort(2).portName, "");
        EXPECT_EQ(link_->enginePort(1).params,
                  (std::array<uint8_t, 8>{0x00, 0x01, 0x19, 0x04, 0xC8, 0x04, 0x07, 0x00}));
        EXPECT_EQ(link_->enginePort(1).paramValue, 1);

        std::vector<std::string> requests;
        for (const AgwFrame& frame : decodeFrames(socket_->takeSent()))
            requests.push_back(std::string(1, frame.kind) + std::to_string(frame.wirePort));
        EXPECT_THAT(requests, ElementsAre("H0", "g0", "y0"));
    }
}

TEST_F(DireWolfFrames, MonitoredFramesGiveTheirHeaderFields)
{
    AgwLinkProbe::setMonitor(*link_, "UISC");
    recordAllButFrame();
    link_->onMonitor = nullptr;
    deliver(bytes(DIREWOLF_MONITOR_STREAM), 100);
    EXPECT_THAT(takeEvents(),
                ElementsAre("OnDataUI(1|N0USR|CQ|240|beacon via digis\\x0D\\x0D)",
                            "OnDataUI(1|N0USR|ID|240|plain beacon\\x0D)", "OnSFrame(1|N0USR|N0SRV||SABM|0)",
                            "OnSFrame(1|N0SRV|N0USR||UA|0)", "OnIFrame(1|N0USR|N0SRV||I|0xF0|0|0|6|hello\\x0D\\x0D)",
                            "OnIFrame(1|N0SRV|N0USR||I|0xF0|1|0|9|hi there\\x0D\\x0D)",
                            "OnSFrame(1|N0USR|N0SRV||DISC|0)", "OnSFrame(1|N0SRV|N0USR||UA|0)",
                            "OnSFrame(1|N0SRV|N0USR||SABM|0)", "OnSFrame(1|N0USR|N0SRV||UA|0)",
                            "OnSFrame(1|N0SRV|N0USR||DISC|0)", "OnSFrame(1|N0USR|N0SRV||UA|0)",
                            "OnSFrame(1|N0SRV|N0NONE||SABM|0)", "OnSFrame(1|N0SRV|N0NONE||SABM|0)"));
}

TEST_F(DireWolfFrames, DigipeaterPathOfAMonitoredUnprotoFrame)
{
    const std::string stream = bytes(DIREWOLF_MONITOR_STREAM);
    const AgwFrame first = decodeFrames(stream).front();
    ASSERT_EQ(first.kind, 'U');
    const MonitorHeader h = link_->getHeader(first.data);
    EXPECT_EQ(h.via, "WIDE1-1 WIDE2-1");
    EXPECT_EQ(h.pid, "F0");
    EXPECT_EQ(h.len, 17);
}

TEST_F(DireWolfFrames, RawFramesAndAcknowledgement)
{
    AgwLinkProbe::setMonitor(*link_, "UISC");
    recordAllButFrame();
    link_->onMonitor = nullptr;
    deliver(bytes(DIREWOLF_RAW_STREAM), 64);
    EXPECT_THAT(
        takeEvents(),
        ElementsAre("OnSFrame(1|N0SRV|N0USR||UA|0)",
                    "OnRawFrame(1|\\x00\\x9C`\\xA6\\xA4\\xAC@\\xE0\\x9C`\\xAA\\xA6\\xA4@a\\x00\\xF0first line\\x0D)",
                    "OnIFrame(1|N0USR|N0SRV||I|0xF0|0|0|11|first line\\x0D\\x0D)", "OnSFrame(1|N0SRV|N0USR||RR|1)",
                    "OnRawFrame(1|\\x00\\x9C`\\xA6\\xA4\\xAC@\\xE0\\x9C`\\xAA\\xA6\\xA4@aS)",
                    "OnSFrame(1|N0USR|N0SRV||DISC|0)", "OnSFrame(1|N0SRV|N0USR||UA|0)"));
}

} // namespace
