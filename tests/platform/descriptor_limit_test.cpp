#include "platform/descriptor_limit.h"

#include <sys/resource.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>

TEST(DescriptorLimit, RaisesTheSoftLimitToTheHardOneAndWarnsWhenThatIsTooFew) {
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    rlimit lowered = original;
    lowered.rlim_cur = 256;
    if (original.rlim_max != RLIM_INFINITY && original.rlim_max <= 256) {
        GTEST_SKIP() << "hard limit too low to tell a raise from no change";
    }
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);

    std::string warning = "stale";
    const int available = platform::RaiseDescriptorLimit(200, warning);
    rlimit now{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &now), 0);
    EXPECT_GT(available, 256);
    EXPECT_EQ(static_cast<rlim_t>(available), now.rlim_cur);
    if (original.rlim_max != RLIM_INFINITY) {
        EXPECT_EQ(now.rlim_cur, original.rlim_max);
    }
    EXPECT_EQ(warning, "") << "enough descriptors: no warning, and an old one is cleared";

    // More than the hard limit allows: one line with both numbers, the limit left as it was.
    ASSERT_LT(available, INT_MAX);
    EXPECT_EQ(platform::RaiseDescriptorLimit(available + 1, warning), available);
    EXPECT_EQ(warning.find('\n'), std::string::npos);
    EXPECT_EQ(warning.rfind("drennik: warning: ", 0), 0u) << warning;
    const auto withCommas = [](long long n) {
        std::string s = std::to_string(n);
        for (int at = static_cast<int>(s.size()) - 3; at > 0; at -= 3) {
            s.insert(static_cast<std::size_t>(at), ",");
        }
        return s;
    };
    EXPECT_NE(warning.find(" " + withCommas(available) + " "), std::string::npos) << warning;
    EXPECT_NE(warning.find(" " + withCommas(available + 1) + ";"), std::string::npos) << warning;
    EXPECT_NE(warning.find("ulimit -n"), std::string::npos) << warning;

    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &original), 0);
}
