// Address comparison: node names up to their domain part, services exactly.
#include "recover/same_address.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/temp_home.h"

namespace {

class SameAddress : public testsupport::TempHomeTest {};

TEST_F(SameAddress, NodesCompareUpToTheirDomainServicesExactly) {
    struct Case {
        const char *node1, *service1, *node2, *service2;
        int same;
    };
    const std::vector<Case> cases = {
        {"host", "TSK_AREC", "host", "TSK_AREC", 1},
        {"host.plant.example", "TSK_AREC", "host", "TSK_AREC", 1},
        {"host.a", "TSK_AREC", "host.b", "TSK_AREC", 1},
        {"host", "TSK_AREC", "HOST", "TSK_AREC", 0},  // case counts
        {"host", "TSK_AREC", "host", "tsk_arec", 0},
        {"host", "TSK.AREC", "host", "TSK.OTHER", 0},  // services are not cut at a dot
        {"host", "TSK_AREC", "hostx", "TSK_AREC", 0},
        {".host", "S", ".host.dom", "S", 1},  // leading dots stay part of the name
        {".host", "S", "host", "S", 0},
        {"..a.b", "S", "..a", "S", 1},
        {"a..b", "S", "a", "S", 1},
        {"", "S", ".", "S", 0},
    };
    for (const auto& c : cases) {
        const AddressRecord a = makeAddress(c.node1, c.service1), b = makeAddress(c.node2, c.service2);
        EXPECT_EQ(sameAddress(a, b), c.same) << c.node1 << "/" << c.service1 << " " << c.node2 << "/" << c.service2;
        EXPECT_EQ(sameAddress(b, a), c.same);
    }
}

TEST_F(SameAddress, UnterminatedFieldsAreReadWithinTheirRecord) {
    AddressRecord a{}, b{};
    std::memset(&a, 'n', sizeof a);
    std::memset(&b, 'n', sizeof b);
    b.node[31] = 'X';  // only 31 characters of a node name count
    EXPECT_EQ(sameAddress(a, b), 1);
    b.service[31] = 'X';  // all 32 of a service do
    EXPECT_EQ(sameAddress(a, b), 0);
}

}  // namespace
