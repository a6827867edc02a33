// Routes and node names: the parts of the transport without sockets. Framing
// is tested through real connections.
#include <gtest/gtest.h>

#include "msglib/transport_address.h"
#include "msglib/transport_routes.h"

using namespace msglib;

TEST(Routes, LinesAndLookup) {
    for (const char* line : {"plant2 10.0.0.1 7410", "  plant2\t10.0.0.1   7410  # main", "plant2 10.0.0.1 65535\r"}) {
        EXPECT_TRUE(parseRouteLine(line)) << line;
    }
    for (const char* line : {"plant2 10.0.0.1 0", "plant2 10.0.0.1 65536", "plant2 10.0.0.1 74a", "plant2 10.0.0.1",
                             "plant2 10.0.0.1 7410 x", "# plant2 10.0.0.1 7410", ""}) {
        EXPECT_FALSE(parseRouteLine(line)) << line;
    }
    const char* text = "# routes\n\nbroken line\nPlant2.example.com 10.0.0.2 7000\r\nplant2 10.0.0.3 7\nplant3 ::1 7";
    const auto plant2 = findRoute(text, "PLANT2");
    ASSERT_TRUE(plant2);
    EXPECT_EQ(plant2->host + " " + plant2->port, "10.0.0.2 7000") << "the first matching line wins";
    ASSERT_TRUE(findRoute(text, "plant3.other.org"));
    EXPECT_EQ(findRoute(text, "plant3.other.org")->host, "::1");
    EXPECT_FALSE(findRoute(text, "plant") || findRoute(text, "") || findRoute(text, "broken"));
}

TEST(NodeNames, LocalityServiceNamesAndConnectionKeys) {
    for (const char* node : {"", "localhost", "LOCALHOST.localdomain", "ALPHA.corp.example"}) {
        EXPECT_TRUE(isLocalNode(node, "alpha.lab")) << node;
    }
    EXPECT_FALSE(isLocalNode("alphabet", "alpha"));
    EXPECT_FALSE(isLocalNode(".alpha", "alpha")) << "leading dots are part of the name";
    EXPECT_EQ(nodeWithoutDomain("..a.b"), "..a");
    for (const char* name : {"TSK_AREC", "a.b-c_9", "X"}) EXPECT_TRUE(isServiceName(name)) << name;
    for (const char* name : {"", ".hidden", "a/b", "..", "a b", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"}) {
        EXPECT_FALSE(isServiceName(name)) << name;
    }
    // Every spelling of a node shares one cached connection per service.
    const std::string key = peerKey(makeAddress("", "TSK_AREC"), "alpha");
    EXPECT_EQ(peerKey(makeAddress("Alpha.x", "TSK_AREC"), "alpha"), key);
    EXPECT_EQ(peerKey(makeAddress("localhost", "TSK_AREC"), "alpha"), key);
    EXPECT_NE(peerKey(makeAddress("alpha", "tsk_arec"), "alpha"), key) << "services compare exactly";
    EXPECT_EQ(peerKey(makeAddress("Beta.x", "S"), "alpha"), peerKey(makeAddress("BETA", "S"), "alpha"));
    EXPECT_NE(peerKey(makeAddress("beta", "S"), "alpha"), peerKey(makeAddress("gamma", "S"), "alpha"));
}
