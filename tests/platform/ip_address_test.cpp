#include "platform/ip_address.h"

#include <gtest/gtest.h>

using platform::IpAddress;
using platform::IpNetwork;

TEST(IpAddress, ParsesAndWritesTheUsualTextForms) {
    struct Case {
        const char* text;
        const char* shown;  // null: refused
        bool ipv4;
    };
    const Case cases[] = {
        {"127.0.0.1", "127.0.0.1", true},
        {"::ffff:127.0.0.1", "127.0.0.1", true},  // IPv4-mapped: plain IPv4, the same key
        {"::1", "::1", false},
        {"0:0:0:0:0:0:0:1", "::1", false},
        {"2001:DB8:0::5", "2001:db8::5", false},
        {"::", "::", false},
        {"fe80::1:2:3:4", "fe80::1:2:3:4", false},
        {"", nullptr, false},
        {"localhost", nullptr, false},
        {"127.0.0", nullptr, false},
        {"1.2.3.256", nullptr, false},
        {"[::1]", nullptr, false},
        {"::1%lo", nullptr, false},
        {"::1/128", nullptr, false},
        {"1::2::3", nullptr, false},
        {" ::1", nullptr, false},
    };
    for (const Case& c : cases) {
        const auto parsed = IpAddress::Parse(c.text);
        if (c.shown == nullptr) {
            EXPECT_FALSE(parsed) << c.text;
            continue;
        }
        ASSERT_TRUE(parsed) << c.text;
        EXPECT_EQ(parsed->ToText(), c.shown) << c.text;
        EXPECT_EQ(parsed->IsIpv4(), c.ipv4) << c.text;
    }
    EXPECT_EQ(*IpAddress::Parse("::ffff:10.0.0.1"), *IpAddress::Parse("10.0.0.1"));
    EXPECT_EQ(IpAddress::Parse("::ffff:10.0.0.1")->Hash(), IpAddress::Parse("10.0.0.1")->Hash());
    EXPECT_NE(*IpAddress::Parse("::1"), *IpAddress::Parse("127.0.0.1"));
    EXPECT_EQ(IpAddress().ToText(), "0.0.0.0") << "none known";
    std::string endpoints;
    IpAddress::Parse("::1")->AppendWithPort(endpoints, 110);
    endpoints += ' ';
    IpAddress::Parse("192.0.2.1")->AppendWithPort(endpoints, 995);
    EXPECT_EQ(endpoints, "[::1]:110 192.0.2.1:995");
}

TEST(IpNetwork, ParsesPrefixesAndTellsWhatTheyContain) {
    struct Case {
        const char* network;  // must parse
        const char* address;
        bool contained;
    };
    const Case cases[] = {
        {"10.0.0.0/8", "10.255.1.2", true},
        {"10.0.0.0/8", "11.0.0.1", false},
        {"10.1.2.3/8", "10.9.9.9", true},  // host bits are ignored
        {"10.0.0.0/8", "::ffff:10.1.1.1", true},
        {"10.0.0.0/8", "::a00:1", false},  // IPv4-compatible is not IPv4
        {"0.0.0.0/0", "1.2.3.4", true},
        {"0.0.0.0/0", "::1", false},
        {"192.0.2.7", "192.0.2.7", true},
        {"192.0.2.7", "192.0.2.6", false},
        {"192.0.2.128/25", "192.0.2.200", true},
        {"192.0.2.128/25", "192.0.2.127", false},
        {"::1/128", "::1", true},
        {"::1", "::2", false},
        {"2001:db8::/32", "2001:db8:ffff::1", true},
        {"2001:db8::/32", "2001:db9::1", false},
        {"2001:db8::/33", "2001:db8:7fff::1", true},
        {"2001:db8::/33", "2001:db8:8000::1", false},
        {"::/0", "127.0.0.1", true},
        {"::/0", "2001:db8::1", true},
    };
    for (const Case& c : cases) {
        const auto network = IpNetwork::Parse(c.network);
        ASSERT_TRUE(network) << c.network;
        EXPECT_EQ(network->Contains(*IpAddress::Parse(c.address)), c.contained)
            << c.network << " " << c.address;
    }
    for (const char* bad : {"10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/-1", "10.0.0.0/8x",
                            "10.0.0/8", "/8", "", "x/8", "[::1]/128", "::1/ 64"}) {
        EXPECT_FALSE(IpNetwork::Parse(bad)) << bad;
    }
}
