#include "decode_harness.h"

using namespace std::string_literals;
using decode_test::LinkFixture;
using ::testing::ElementsAre;

namespace {

class MonitorHeaderTest : public LinkFixture {};

// Every field on one line, so that a mismatch shows the whole header.
std::string fields(const MonitorHeader& h)
{
    return "From=" + h.from + " To=" + h.to + " Via=" + h.via + " Type=" + h.frameType + " Pid=" + h.pid +
           " NR=" + std::to_string(h.nr) + " NS=" + std::to_string(h.ns) + " Len=" + std::to_string(h.len) +
           " Info=" + decode_test::show(h.info);
}

TEST_F(MonitorHeaderTest, ViaInAnyCaseWithStarsKept)
{
    const auto h = link_->getHeader(" 1:Fm N0ABC To APX vIA WIDE1-1*, WIDE2-1* <UI pid=F0 Len=3 >[10:00:00]\rabc\r");
    EXPECT_EQ(fields(h), "From=N0ABC To=APX Via=WIDE1-1* WIDE2-1* Type=UI Pid=F0 NR=0 NS=0 Len=3 Info=abc");

    const auto plain = link_->getHeader(" 1:Fm N0ABC To APX <UI pid=F0 Len=3 >[10:00:00]\rabc\r");
    EXPECT_EQ(plain.via, "");
}

TEST_F(MonitorHeaderTest, SupervisoryFramesGiveTheReceiveNumber)
{
    EXPECT_EQ(fields(link_->getHeader(" 1:Fm A To B <RR P R5 >[10:00:00]\r")),
              "From=A To=B Via= Type=RR Pid= NR=5 NS=0 Len=0 Info=");
    EXPECT_EQ(link_->getHeader(" 1:Fm A To B <REJ R57 >\r").nr, 5);
    EXPECT_EQ(link_->getHeader(" 1:Fm A To B <RNR Rx >\r").nr, 0);
    EXPECT_EQ(link_->getHeader(" 1:Fm A To B <RR R >\r").nr, 0);
}

TEST_F(MonitorHeaderTest, LinkControlFramesStopAfterTheType)
{
    EXPECT_EQ(fields(link_->getHeader(" 1:Fm N0SRV To N0USR Via DIGI <SABM P=1 >[10:00:00]\rjunk\r")),
              "From=N0SRV To=N0USR Via=DIGI Type=SABM Pid= NR=0 NS=0 Len=0 Info=");
}

TEST_F(MonitorHeaderTest, UnprotoWithoutLenTakesEverythingUpToTheBracket)
{
    EXPECT_EQ(fields(link_->getHeader(" 1:Fm A To B <UI pid=F0 x >\rhi\r")),
              "From=A To=B Via= Type=UI Pid=F0 x  NR=0 NS=0 Len=0 Info=hi");
}

TEST_F(MonitorHeaderTest, EmptyInformationBecomesCarriageReturn)
{
    EXPECT_EQ(fields(link_->getHeader(" 1:Fm A To B <UI pid=F0 Len=0 >[10:00:00]\r")),
              "From=A To=B Via= Type=UI Pid=F0 NR=0 NS=0 Len=1 Info=\\x0D");
    EXPECT_EQ(fields(link_->getHeader(" 1:Fm A To B <I R1 S2 pid=F0 Len=0 >")),
              "From=A To=B Via= Type=I Pid=F0 NR=1 NS=2 Len=1 Info=\\x0D");
}

TEST_F(MonitorHeaderTest, TrailingNulDroppedButCarriageReturnKept)
{
    EXPECT_EQ(link_->getHeader(" 1:Fm A To B <I R0 S0 pid=F0 Len=3 >\rabc\0"s).info, "abc");
    EXPECT_EQ(link_->getHeader(" 1:Fm A To B <I R0 S0 pid=F0 Len=3 >\rab\rc\r\0"s).info, "ab\rc\r");
    EXPECT_EQ(link_->getHeader(" 1:Fm A To B <I R0 S0 pid=F0 Len=3 >\rab\rc\r"s).info, "ab\rc");
}

TEST_F(MonitorHeaderTest, InformationCutTo256Characters)
{
    const std::string info(300, 'x');
    const auto h = link_->getHeader(" 1:Fm A To B <UI pid=F0 Len=300 >[10:00:00]\r" + info + "\r");
    EXPECT_EQ(h.info, std::string(256, 'x'));
    EXPECT_EQ(h.len, 300);
}

TEST_F(MonitorHeaderTest, FlexnetAndNetromPidsTrimTheInformation)
{
    EXPECT_EQ(link_->getHeader(" 1:Fm A To B <UI pid=CF Len=8 >\rab\ncd\ref\r").info, "ab");
    EXPECT_EQ(link_->getHeader(" 1:Fm A To B <UI pid=CC Len=8 >\rab\ncd\nef\r").info, "ab\rcd");
    EXPECT_EQ(link_->getHeader(" 1:Fm A To B <UI pid=CD Len=8 >\rab\ncd\ref\r").info, "ab\rcd");
    EXPECT_EQ(link_->getHeader(" 1:Fm A To B <UI pid=CD Len=2 >\rab\r").info, "ab\r");
    EXPECT_EQ(link_->getHeader(" 1:Fm A To B <UI pid=cf Len=8 >\rab\ncd\ref\r").info, "ab\ncd\ref");
}

TEST_F(MonitorHeaderTest, OtherFrameTypesCarryNoInformation)
{
    EXPECT_EQ(fields(link_->getHeader(" 1:Fm A To B <XID P=1 >\rpayload\r")),
              "From=A To=B Via= Type=XID Pid= NR=0 NS=0 Len=0 Info=");
}

TEST_F(MonitorHeaderTest, NumberTooLargeFallsIntoTheFailurePath)
{
    link_->traceLog().level = 1;
    const auto h = link_->getHeader(" 1:Fm A To B Via C <UI pid=F0 Len=4294967296 >\rabc\r");
    EXPECT_EQ(fields(h), "From=A To=B Via=C Type=UI Pid=F0 NR=0 NS=0 Len=1 Info=\\x0D");
    EXPECT_THAT(traceLines(), ElementsAre(" Exception on module GetHeader"));

    const auto i = link_->getHeader(" 1:Fm A To B <I R1 S99999999999 pid=F0 Len=3 >\rabc\r");
    EXPECT_EQ(fields(i), "From=A To=B Via= Type=I Pid= NR=1 NS=0 Len=1 Info=\\x0D");
}

TEST_F(MonitorHeaderTest, ReadsBothOrdersOfTheSequenceNumbers)
{
    EXPECT_EQ(fields(link_->getHeader(" 1:Fm A To B <I R3 S6 pid=F0 Len=2 >[10:00:00]\rok\r")),
              "From=A To=B Via= Type=I Pid=F0 NR=3 NS=6 Len=2 Info=ok");
    EXPECT_EQ(fields(link_->getHeader(" 1:Fm A To B <I S6 R3 pid=0xF0 Len=2 P=0 >[10:00:00]\rok\r\r\0"s)),
              "From=A To=B Via= Type=I Pid=0xF0 NR=3 NS=6 Len=2 Info=ok\\x0D\\x0D");
}

TEST_F(MonitorHeaderTest, TracesTheTextAndItsDump)
{
    link_->getHeader("ab");
    EXPECT_THAT(traceLines(), ElementsAre("{L2} GetHeader ->ab",
                                          " |61 62 -- -- -- -- -- -- -- -- -- -- -- -- -- -- |ab              "));
}

TEST_F(MonitorHeaderTest, GarbageLeavesFieldsEmpty)
{
    EXPECT_EQ(fields(link_->getHeader("")), "From= To= Via= Type= Pid= NR=0 NS=0 Len=0 Info=");
    EXPECT_EQ(fields(link_->getHeader("\0\0\0"s)), "From= To= Via= Type= Pid= NR=0 NS=0 Len=0 Info=");
}

} // namespace
