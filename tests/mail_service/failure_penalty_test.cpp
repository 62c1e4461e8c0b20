#include "mail_service/failure_penalty.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

IpAddress Address(const char* text) {
    return *IpAddress::Parse(text);
}

}  // namespace

TEST(FailurePenalty, GrowsPerAddressAndResetsOnSuccessOrAfterAQuietSpell) {
    FailurePenalty penalty;
    const auto start = FailurePenalty::Clock::time_point{} + 1h;
    const IpAddress a = Address("192.0.2.1");
    const IpAddress b = Address("192.0.2.2");
    // Each row: seconds since the start, the address, and the delay its failure gets.
    struct Row {
        int at;
        IpAddress peer;
        std::chrono::milliseconds delay;
    };
    // After ten quiet minutes a starts again.
    const Row rows[] = {{0, a, 1s},  {1, a, 2s},  {2, a, 4s}, {3, b, 1s},       {4, a, 8s},
                        {5, a, 15s}, {6, a, 15s}, {7, b, 2s}, {7 + 600, a, 1s}, {7 + 601, a, 2s}};
    for (const Row& row : rows) {
        EXPECT_EQ(penalty.Failed(row.peer, start + std::chrono::seconds(row.at)), row.delay)
            << row.at;
    }
    penalty.Succeeded(a);
    EXPECT_EQ(penalty.Failed(a, start + 700s), 1s) << "a success starts it again";
    EXPECT_EQ(penalty.Failed(b, start + 700s), 1s) << "b's last failure was long ago";

    // Trusted networks always get the base delay; the table stays within its bound, the
    // address that failed longest ago leaving first.
    std::string error;
    const auto trusted = ReadNetworks(" 10.0.0.0/8, 192.0.2.7 ", error);
    ASSERT_TRUE(trusted) << error;
    FailurePenalty small(2);
    small.SetTrusted(*trusted);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(small.Failed(Address("10.1.2.3"), start), 1s);
        EXPECT_EQ(small.Failed(Address("192.0.2.7"), start), 1s);
    }
    EXPECT_EQ(small.Size(), 0u);
    small.Failed(a, start);
    small.Failed(b, start);
    small.Failed(a, start);
    small.Failed(Address("192.0.2.3"), start);  // b goes
    EXPECT_EQ(small.Size(), 2u);
    EXPECT_EQ(small.Failed(a, start), 4s);
    EXPECT_EQ(small.Failed(b, start), 1s);
    for (const char* bad : {"10.0.0.0/33", "10.0.0/8", "10.0.0.0/", "x", "1.2.3.4/8x", "::1/129",
                            "::1%lo", "[::1]"}) {
        EXPECT_FALSE(ReadNetworks(bad, error)) << bad;
    }
    EXPECT_TRUE(ReadNetworks("", error)->empty());
    EXPECT_TRUE(InNetworks(*ReadNetworks("0.0.0.0/0", error), a));
    EXPECT_FALSE(InNetworks(*ReadNetworks("0.0.0.0/0", error), Address("::1")))
        << "an IPv4 prefix holds IPv4 clients only";
    EXPECT_TRUE(
        InNetworks(*ReadNetworks("10.0.0.0/8, 2001:db8::/32", error), Address("2001:db8:1::5")));
}
