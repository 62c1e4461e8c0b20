#include "mail_service/service_log.h"
#include "support/loopback.h"

#include <QtGlobal>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Escaped(std::string_view value) {
    std::string out;
    AppendLogValue(out, value);
    return out;
}

// A log whose lines are kept.
struct Captured {
    std::vector<std::string> lines;
    ServiceLog log{[this](std::string_view line) { lines.emplace_back(line); }};
};

}  // namespace

TEST(ServiceLog, ValuesAreEscapedSoThatNothingEndsALineOrMakesAField) {
    const struct {
        std::string_view value;
        std::string_view shown;
    } cases[] = {
        {"alice", "alice"},
        {"", "\"\""},
        {"a b", "\"a b\""},
        {"/Post Office/", "\"/Post Office/\""},
        {"a\"b", "a\\\"b"},
        {"a\\b", "a\\\\b"},
        {"S=2", "S\\x3D2"},
        {"\r\n\t", "\\r\\n\\t"},
        {std::string_view("\0\x1b\x7f\xe9\xff", 5), "\\x00\\x1B\\x7F\\xE9\\xFF"},
        {"x\" client=10.9.9.9:1 y", "\"x\\\" client\\x3D10.9.9.9:1 y\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Escaped(c.value), c.shown) << c.value;
    }
    // Whatever the bytes, a value is printable ASCII, and '=' or a blank outside quotes never
    // appears: no value can end a line or begin a field.
    std::string every;
    for (int byte = 0; byte < 256; ++byte) {
        every += static_cast<char>(byte);
    }
    for (const std::string& value : {every, every.substr(33), every.substr(128)}) {
        const std::string shown = Escaped(value);
        bool quoted = false;
        for (std::size_t i = 0; i < shown.size(); ++i) {
            const auto c = static_cast<unsigned char>(shown[i]);
            ASSERT_TRUE(c >= 0x20 && c < 0x7f) << i;
            ASSERT_NE(c, '=') << i;
            if (c == '\\') {
                ++i;  // the escaped byte
            } else if (c == '"') {
                quoted = !quoted;
            } else {
                ASSERT_TRUE(c != ' ' || quoted) << i;
            }
        }
        EXPECT_FALSE(quoted);
    }
}

TEST(ServiceLog, LinesLevelsAndQtMessages) {
    Captured c;
    LogLine line("login");
    line.Add("conn", 12)
        .AddAddress("client", *platform::IpAddress::Parse("127.0.0.1"), 40312)
        .Add("user", "al ice")
        .AddYesNo("tls", false)
        .Add("bytes", std::int64_t{-1});
    EXPECT_EQ(line.Text(),
              "drennik: event=login conn=12 client=127.0.0.1:40312 user=\"al ice\" tls=no "
              "bytes=-1");
    c.log.Write(LogLevel::Info, line);
    c.log.SetLevel(LogLevel::Warning);
    c.log.Write(LogLevel::Info, LogLine("dropped"));
    c.log.Write(LogLevel::Error, LogLine("kept"));
    EXPECT_EQ(c.lines,
              (std::vector<std::string>{std::string(line.Text()) + "\n", "drennik: event=kept\n"}));

    for (const LogLevel level :
         {LogLevel::Error, LogLevel::Warning, LogLevel::Info, LogLevel::Debug}) {
        EXPECT_EQ(ParseLogLevel(LogLevelName(level)), level);
    }
    EXPECT_EQ(ParseLogLevel("INFO"), std::nullopt);
    EXPECT_EQ(ParseLogLevel(""), std::nullopt);

    // Qt's warnings only at debug, its errors always; the handler before comes back after.
    c.lines.clear();
    {
        const QtMessageRoute route(c.log);
        c.log.SetLevel(LogLevel::Info);
        qWarning("QStandardPaths: XDG_RUNTIME_DIR not set");
        qCritical("broken\nline");
        c.log.SetLevel(LogLevel::Debug);
        qWarning("a font");
    }
    EXPECT_EQ(c.lines,
              (std::vector<std::string>{"drennik: event=qt kind=critical text=broken\\nline\n",
                                        "drennik: event=qt kind=warning text=\"a font\"\n"}));
    testing::internal::CaptureStderr();
    qWarning("after");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("after"), std::string::npos);
    EXPECT_EQ(c.lines.size(), 2u);
}

TEST(ServiceLog, GatheredLinesLeaveTogetherSoonOrWhenFlushed) {
    Captured c;
    c.log.Gather(std::chrono::milliseconds(20));
    c.log.Write(LogLevel::Info, LogLine("a"));
    c.log.Write(LogLevel::Info, LogLine("b"));
    EXPECT_TRUE(c.lines.empty());
    ASSERT_TRUE(testing_support::PumpUntil([&] { return !c.lines.empty(); }));
    EXPECT_EQ(c.lines, (std::vector<std::string>{"drennik: event=a\ndrennik: event=b\n"}));
    c.log.Write(LogLevel::Info, LogLine("c"));
    c.log.Flush();
    EXPECT_EQ(c.lines.back(), "drennik: event=c\n");
    // Many lines are not held back for the delay.
    for (int i = 0; i < 1000; ++i) {
        c.log.Write(LogLevel::Info, LogLine("many").Add("text", std::string(40, 'x')));
    }
    EXPECT_GE(c.lines.size(), 3u);
}
