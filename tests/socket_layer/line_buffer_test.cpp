#include "socket_layer/line_buffer.h"

#include <gtest/gtest.h>

TEST(LineBuffer, CutsAtCrLfOnlyAndKeepsEveryByte) {
    LineBuffer buffer;
    std::string line;
    buffer.Append(std::string(" USER a\0\xff\r", 10));
    EXPECT_FALSE(buffer.PopLine(line)) << "a CR alone does not end a line";
    buffer.Append("\nSTAT\r\n\r\nlone\nLF\r");
    ASSERT_TRUE(buffer.PopLine(line));
    EXPECT_EQ(line, std::string(" USER a\0\xff", 9));
    ASSERT_TRUE(buffer.PopLine(line));
    EXPECT_EQ(line, "STAT");
    ASSERT_TRUE(buffer.PopLine(line));
    EXPECT_EQ(line, "") << "an empty line is a line";
    EXPECT_FALSE(buffer.PopLine(line));
    buffer.Append("\n");
    ASSERT_TRUE(buffer.PopLine(line));
    EXPECT_EQ(line, "lone\nLF");
    EXPECT_EQ(buffer.pending(), 0u);
}

TEST(LineBuffer, JoinsALineArrivingByteByByte) {
    LineBuffer buffer;
    std::string line;
    const std::string command = "RETR 12\r\n";
    for (std::size_t i = 0; i + 1 < command.size(); ++i) {
        buffer.Append(command.substr(i, 1));
        EXPECT_FALSE(buffer.PopLine(line));
    }
    buffer.Append("\n");
    ASSERT_TRUE(buffer.PopLine(line));
    EXPECT_EQ(line, "RETR 12");
}

TEST(LineBuffer, OverlongOnlyPastTheLimitWithoutALineEnd) {
    LineBuffer buffer;
    buffer.Append(std::string(LineBuffer::kMaxLine, 'a'));
    EXPECT_FALSE(buffer.Overlong());
    buffer.Append("\r");
    EXPECT_FALSE(buffer.Overlong()) << "its LF may still come";
    buffer.Append("\n");
    std::string line;
    ASSERT_TRUE(buffer.PopLine(line));
    EXPECT_EQ(line.size(), LineBuffer::kMaxLine);
    buffer.Append("QUIT\r\n");
    buffer.Append(std::string(LineBuffer::kMaxLine + 1, 'b'));
    EXPECT_FALSE(buffer.Overlong()) << "a complete line is still waiting";
    ASSERT_TRUE(buffer.PopLine(line));
    EXPECT_TRUE(buffer.Overlong());
}

TEST(LineBuffer, ManyLinesThroughPrepareAndCommit) {
    LineBuffer buffer;
    std::string line;
    int popped = 0;
    for (int i = 0; i < 10000; ++i) {
        const std::string text = "NOOP " + std::to_string(i) + "\r\n";
        char* area = buffer.PrepareAppend(4096);
        std::copy(text.begin(), text.end(), area);
        buffer.Commit(text.size());
        if (i % 3 == 2) {
            while (buffer.PopLine(line)) {
                ASSERT_EQ(line, "NOOP " + std::to_string(popped));
                ++popped;
            }
        }
    }
    while (buffer.PopLine(line)) {
        ++popped;
    }
    EXPECT_EQ(popped, 10000);
    EXPECT_EQ(buffer.pending(), 0u);
}
