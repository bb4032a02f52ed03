// Frames outstanding on one connection: the "Y" question and its answer.
#include "decode_harness.h"
#include "direwolf_y_vectors.h"

#include <stdexcept>

using namespace std::string_literals;
using decode_test::LinkFixture;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class ConnFrames : public LinkFixture {
protected:
    void SetUp() override
    {
        LinkFixture::SetUp();
        link_->onConnFrames = recorder("OnConnFrames");
    }
};

TEST_F(ConnFrames, AskOutstandingSendsAnEmptyYFrameForTheConnection)
{
    connectLink();

    EXPECT_TRUE(link_->askOutstanding(2, "N0SRV", "N0USR-7"));

    EXPECT_EQ(socket_->takeSent(), "\x01\x00\x00\x00Y\x00\x00\x00N0SRV\x00\x00\x00\x00\x00N0USR-7\x00\x00\x00"
                                   "\x00\x00\x00\x00\x00\x00\x00\x00"s);
    const auto lines = traceLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "{L2} <L2 Send> Port(2) DK[Y] Pid(0) From(N0SRV) To(N0USR-7) DK[Y] Len(0) using "
                        "object(N0SRV)");
}

TEST_F(ConnFrames, AskOutstandingWithoutTheEngineSendsNothing)
{
    EXPECT_FALSE(link_->askOutstanding(1, "N0SRV", "N0USR"));

    EXPECT_THAT(socket_->takeSent(), IsEmpty());
    EXPECT_THAT(traceLines(), ElementsAre("{L2} L2 Frame not sent because there is no TCP/IP connection with AGWPE"));
}

TEST_F(ConnFrames, DireWolfAnswersReachTheEventAsRecorded)
{
    connectLink();

    socket_->deliver(recordedBytes(DIREWOLF_Y_THREE));
    socket_->deliver(recordedBytes(DIREWOLF_Y_ZERO) + recordedBytes(DIREWOLF_Y_REVERSED));

    EXPECT_THAT(takeEvents(), ElementsAre("OnConnFrames(1|N0SRV|N0USR|3)", "OnConnFrames(1|N0SRV|N0USR|0)",
                                          "OnConnFrames(1|N0USR|N0SRV|0)"));
    const auto lines = traceLines();
    EXPECT_THAT(lines, Contains("{L2} Decode Args Obj(N0SRV) Port(1) Kind[Y] {00} <N0SRV> <N0USR> Len(4) + DATA"));
    EXPECT_THAT(lines, Contains("{L2} Fired Event <FOnConnFrames>"));
}

TEST_F(ConnFrames, CountIsAllFourBytesLittleEndianAndCallsAreUpperCased)
{
    decodeFrame(3, 'Y', "n0srv", "n0usr", "\x01\x02\x03\x04\xFF"s);
    decodeFrame(1, 'Y', "N0SRV", "N0USR", "\x00\x00\x01\x00"s);

    EXPECT_THAT(takeEvents(), ElementsAre("OnConnFrames(3|N0SRV|N0USR|67305985)", "OnConnFrames(1|N0SRV|N0USR|65536)"));
}

TEST_F(ConnFrames, ShortAnswersAreIgnored)
{
    recordAllButFrame();
    link_->onConnFrames = recorder("OnConnFrames");

    decodeFrame(1, 'Y', "N0SRV", "N0USR", "\x00\x00\x00"s);
    decodeFrame(1, 'Y', "N0SRV", "N0USR", "");

    EXPECT_THAT(takeEvents(), IsEmpty());
}

TEST_F(ConnFrames, PortAnswerYIsNotAConnectionAnswer)
{
    recordAllButFrame();
    link_->onConnFrames = recorder("OnConnFrames");

    decodeFrame(2, 'y', "", "", "\x05\x00\x00\x00"s);

    EXPECT_THAT(takeEvents(), ElementsAre("OnPortFrames(2|5)"));
}

TEST_F(ConnFrames, FailingHandlerIsTracedAndTheNextFrameDecodes)
{
    link_->onConnFrames = [](AgwLink&, uint8_t, const std::string&, const std::string&, int32_t) {
        throw std::runtime_error("handler");
    };
    decodeFrame(1, 'Y', "N0SRV", "N0USR", "\x00\x00\x00\x00"s);
    EXPECT_EQ(traceLines().back(), "{L2} Exception on Module TL2.Decode (FrameY)");

    link_->onConnFrames = recorder("OnConnFrames");
    decodeFrame(1, 'Y', "N0SRV", "N0USR", "\x02\x00\x00\x00"s);
    EXPECT_THAT(takeEvents(), ElementsAre("OnConnFrames(1|N0SRV|N0USR|2)"));
}

} // namespace
