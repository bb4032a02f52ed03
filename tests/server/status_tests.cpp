// The status page's JSON: the link, the areas, the stations and the counters.
#include "ChatFixture.h"
#include "server/ServerStatus.h"

namespace {

class ChatStatus : public ChatTest {};

TEST_F(ChatStatus, TheJsonShowsLinkAreasStationsAndCounters)
{
    form.link()->parsePortList("2;Port1 first;Port2 second;");
    form.settings().portEnabled[2] = false;
    form.directory().addArea(1, "General \"chat\"", true, "N0SRV");
    clock.advance(60000);
    connect(1, "N0AAA");
    form.directory().findStation(1, "N0AAA")->name = "Ann";
    connect(3, "N0BBB-7");
    clock.advance(5000);
    line(3, "N0BBB-7", "/J 1\r");
    line(3, "N0BBB-7", "hello\r");
    clock.advance(10000);
    sentTexts();
    form.stats().bytesSent = 1234;

    EXPECT_EQ(statusJson(form),
              "{\"callsign\":\"N0SRV\",\"now\":\"1970-01-01T00:01:15Z\",\"startedAt\":\"1970-01-01T00:00:00Z\","
              "\"link\":{\"state\":\"connected\",\"since\":\"1970-01-01T00:00:00Z\",\"forSeconds\":75,"
              "\"engine\":\"127.0.0.1:8000\",\"callsign\":\"N0SRV\",\"ports\":["
              "{\"port\":1,\"name\":\"Port1 first\",\"open\":true},"
              "{\"port\":2,\"name\":\"Port2 second\",\"open\":false}]},"
              "\"areas\":[{\"id\":0,\"topic\":\"Root\",\"owner\":\"N0SRV\",\"users\":[\"N0AAA\"]},"
              "{\"id\":1,\"topic\":\"General \\\"chat\\\"\",\"owner\":\"N0SRV\",\"users\":[\"N0BBB-7\"]}],"
              "\"stations\":["
              "{\"call\":\"N0AAA\",\"name\":\"Ann\",\"port\":1,\"area\":0,\"state\":\"online\","
              "\"connectedAt\":\"1970-01-01T00:01:00Z\",\"connectedSeconds\":15,\"idleSeconds\":15,\"linesSaid\":0},"
              "{\"call\":\"N0BBB-7\",\"name\":\"\",\"port\":3,\"area\":1,\"state\":\"online\","
              "\"connectedAt\":\"1970-01-01T00:01:00Z\",\"connectedSeconds\":15,\"idleSeconds\":10,\"linesSaid\":2}],"
              "\"hostName\":\"\",\"listen\":\"\",\"links\":[],\"remoteUsers\":[],"
              "\"counters\":{\"linesRelayed\":1,\"bytesSent\":1234,\"connects\":2,\"refusals\":0}}");

    fake->peerClose();
    EXPECT_NE(statusJson(form).find("\"link\":{\"state\":\"waiting\""), std::string::npos);
}

TEST(JsonString, EscapesQuotesControlsAndMarkupAndKeepsUtf8)
{
    EXPECT_EQ(jsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(jsonString(std::string("\r\n\0\x7f", 4)), "\"\\u000d\\u000a\\u0000\\u007f\"");
    EXPECT_EQ(jsonString("</script>&"), "\"\\u003c/script\\u003e\\u0026\"");
    EXPECT_EQ(jsonString("Jo\xC3\xA3o \xE2\x82\xAC \xF0\x9F\x93\xBB"), "\"Jo\xC3\xA3o \xE2\x82\xAC \xF0\x9F\x93\xBB\"");
    // Bytes that are not UTF-8 (a Latin-1 terminal, a cut sequence, an overlong form) are read as Latin-1.
    EXPECT_EQ(jsonString("Jo\xE3o"), "\"Jo\xC3\xA3o\"");
    EXPECT_EQ(jsonString("\xE2\x82"), "\"\xC3\xA2\xC2\x82\"");
    EXPECT_EQ(jsonString("\xC0\xAF"), "\"\xC3\x80\xC2\xAF\"");
    EXPECT_EQ(jsonString("\xED\xA0\x80"), "\"\xC3\xAD\xC2\xA0\xC2\x80\"");
}

} // namespace
