#include "socket_layer/trace_ring.h"

#include <gtest/gtest.h>

#include <string>

TEST(TraceRing, KeepsExactlyTheLastBytesWhereverTheCutFalls) {
    TraceRing ring(10);
    ring.Append("abc");
    ring.Append("");
    EXPECT_EQ(ring.Contents(), "abc");
    ring.Append("defghij");
    EXPECT_EQ(ring.Contents(), "abcdefghij");
    ring.Append("KL");  // wraps: the oldest bytes fall away
    EXPECT_EQ(ring.Contents(), "cdefghijKL");
    ring.Append("0123456789ABC");  // longer than the ring
    EXPECT_EQ(ring.Contents(), "3456789ABC");
    ring.Append(std::string("\0\xff\r\n", 4));
    EXPECT_EQ(ring.Contents(), std::string("789ABC\0\xff\r\n", 10));
}

TEST(TraceRing, MatchesAPlainStringCutToItsLastBytes) {
    TraceRing ring(30000);
    std::string reference;
    for (int i = 0; i < 5000; ++i) {
        const std::string entry =
            "[" + std::to_string(i) + "-->] >" + std::string(i % 97, 'x') + "<\r\n";
        ring.Append(entry);
        reference += entry;
        if (reference.size() > 30000) {
            reference.erase(0, reference.size() - 30000);
        }
        if (i % 499 == 0) {
            ASSERT_EQ(ring.Contents(), reference) << "after entry " << i;
        }
    }
    EXPECT_EQ(ring.size(), 30000u);
    EXPECT_EQ(ring.Contents(), reference);
}

TEST(TraceRing, ClearStartsANewTraceAndChangesTheRevision) {
    TraceRing ring(16);
    ring.Append("something");
    const auto before = ring.revision();
    ring.Clear();
    EXPECT_NE(ring.revision(), before);
    EXPECT_EQ(ring.Contents(), "");
    ring.Append("new");
    EXPECT_EQ(ring.Contents(), "new");
}
