#include "fakes/TempDir.h"
#include "server/ConversSettings.h"
#include "server/SettingsCheck.h"

#include <gtest/gtest.h>

class ConversSettingsTest : public ::testing::Test {
protected:
    NetworkConfig read(const std::string& ini)
    {
        writeFile(path, ini);
        NetworkConfig config;
        readConversSettings(*Profile::readDocument(path), "N0SRV-3", config, problems);
        return config;
    }
    TempDir dir{"palavoro-convers-ini"};
    std::string path = dir.str() + "/Palavoro.INI";
    std::vector<std::string> problems;
};

TEST_F(ConversSettingsTest, WithoutTheSectionsTheNodeIsNamedAfterItsCallsignAndNeitherListensNorDials)
{
    const NetworkConfig config = read("[PALAVORO]\r\n");
    EXPECT_EQ(config.hostName, "n0srv");
    EXPECT_FALSE(config.listen);
    EXPECT_TRUE(config.neighbours.empty());
    EXPECT_EQ(config.maxRemoteUsers, 1000u);
    EXPECT_TRUE(problems.empty());
}

TEST_F(ConversSettingsTest, ListenAndNeighboursAreReadAsWritten)
{
    const NetworkConfig config = read("[CONVERS]\r\nHOSTNAME=PVnode\r\nLISTEN=3600\r\nMAXUSERS=50\r\n[LINKS]\r\n"
                                      "wam1=127.0.0.1:3601\r\nxx0xx=localhost:3602 PVNODE\r\nwam2=*\r\n"
                                      "wam3=Node.Example.net:3603\r\nwam4=[2001:db8::1]:3604\r\n");
    EXPECT_EQ(config.hostName, "pvnode");
    EXPECT_TRUE(config.listen);
    EXPECT_EQ(config.listenAddress, "127.0.0.1");
    EXPECT_EQ(config.listenPort, 3600);
    EXPECT_EQ(config.maxRemoteUsers, 50u);
    ASSERT_EQ(config.neighbours.size(), 5u);
    EXPECT_EQ(config.neighbours[3].address, "node.example.net");
    EXPECT_TRUE(config.neighbours[3].byName);
    EXPECT_EQ(config.neighbours[4].address, "2001:db8::1");
    EXPECT_FALSE(config.neighbours[4].byName);
    EXPECT_EQ(config.neighbours[0].port, 3601);
    EXPECT_EQ(config.neighbours[1].address, "127.0.0.1");
    EXPECT_EQ(config.neighbours[1].firstLine, "PVNODE");
    EXPECT_TRUE(config.neighbours[2].anyAddress);
    EXPECT_TRUE(problems.empty());
}

TEST_F(ConversSettingsTest, BadValuesAreNamed)
{
    read("[CONVERS]\r\nHOSTNAME=pv\r\nLISTEN=here\r\nMAXUSERS=0\r\n[LINKS]\r\nwam1=nowhere\r\nx=*\r\npv=*\r\n"
         "WAM1=*\r\nwam5=a..b:1\r\n");
    EXPECT_EQ(problems,
              (std::vector<std::string>{
                  "Palavoro.INI: [CONVERS] LISTEN=here is not address:port, a port, or NOT",
                  "Palavoro.INI: [CONVERS] MAXUSERS=0 is not a number of 1 or more",
                  "Palavoro.INI: [LINKS] wam1=nowhere is not address:port [first line] (a number, [IPv6] or a host "
                  "name), AX25:[port:]CALL [via DIGI,...] [first line], or *",
                  "Palavoro.INI: [LINKS] x=* names no host: 4 to 10 letters, digits, '.' or '-', one a letter",
                  "Palavoro.INI: [LINKS] pv=* names no host: 4 to 10 letters, digits, '.' or '-', one a letter",
                  "Palavoro.INI: [LINKS] wam1=nowhere and WAM1=* name the same neighbour",
                  "Palavoro.INI: [LINKS] wam5=a..b:1 is not address:port [first line] (a number, [IPv6] or a host "
                  "name), AX25:[port:]CALL [via DIGI,...] [first line], or *",
              }));
}

TEST_F(ConversSettingsTest, ANeighbourNamedLikeThisNodeIsRefused)
{
    const NetworkConfig config = read("[CONVERS]\r\nHOSTNAME=pvnode\r\n[LINKS]\r\nPVnode=*\r\n");
    EXPECT_TRUE(config.neighbours.empty());
    EXPECT_EQ(problems, std::vector<std::string>{"Palavoro.INI: [LINKS] PVnode=* is this node's own HOSTNAME"});
}

TEST_F(ConversSettingsTest, TheCheckKnowsTheNewKeys)
{
    writeFile(path, "[PALAVORO]\r\nCALLSIGN=N0SRV\r\n[CONVERS]\r\nLISTEN=NOT\r\nLISTN=1\r\n[LINKS]\r\nwam1=*\r\n");
    EXPECT_EQ(checkStation(dir.str() + "/"),
              (SettingsProblems{{"Palavoro.INI: [CONVERS] LISTN is not a known key", false}}));
}

TEST_F(ConversSettingsTest, NeighboursOverTheAirNameTheirCallsignPortAndDigipeaters)
{
    const NetworkConfig config = read("[LINKS]\r\nwam2=AX25:n0nb-2\r\nxx0xx=ax25:2:N0PP via DIGI1,digi2-7 N0SRV\r\n"
                                      "wam3=AX25:0:N0AA\r\nwam4=AX25:N0AA via\r\nwam5=AX25:N0AA-16\r\n");
    ASSERT_EQ(config.neighbours.size(), 2u);
    const Neighbour& wam2 = config.neighbours[0];
    EXPECT_TRUE(wam2.overAir);
    EXPECT_EQ(wam2.call, "N0NB-2");
    EXPECT_EQ(wam2.radioPort, 1);
    EXPECT_EQ(wam2.address, "AX25:1:N0NB-2");
    EXPECT_EQ(wam2.via, "");
    const Neighbour& pp = config.neighbours[1];
    EXPECT_EQ(pp.address, "AX25:2:N0PP");
    EXPECT_EQ(pp.via, "DIGI1 DIGI2-7");
    EXPECT_EQ(pp.firstLine, "N0SRV");
    EXPECT_EQ(problems.size(), 3u);
}
