#include "app/reload.h"

#include "app/options_table.h"

#include <gtest/gtest.h>

namespace {

Options Parsed(std::vector<const char*> args) {
    args.insert(args.begin(), "drennik");
    ParsedOptions parsed = ParseOptions(static_cast<int>(args.size()), args.data());
    EXPECT_EQ(parsed.problems, std::vector<std::string>{});
    return parsed.options;
}

}  // namespace

TEST(Reload, TakesWhatTheTableCallsReloadableAndKeepsTheRest) {
    const Options running = Parsed({"--tls-self-signed"});
    const Options fresh = Parsed({"--port=1",
                                  "--listen=10.0.0.1",
                                  "--root=/r",
                                  "--log-level=debug",
                                  "--trace-file=/t",
                                  "--idle-timeout=9",
                                  "--max-connections=8",
                                  "--max-per-address=7",
                                  "--trusted-networks=10.0.0.0/8",
                                  "--proxy-from=::1",
                                  "--passwords=/p",
                                  "--require-tls",
                                  "--lock-maildrop",
                                  "--user=u",
                                  "--tls-cert=/c",
                                  "--tls-key=/k",
                                  "--pop3s-port=995",
                                  "--lmtp-port=24",
                                  "--smtp-port=25",
                                  "--domains=a.test",
                                  "--catch-all=c",
                                  "--create-maildrops",
                                  "--max-message-size=5",
                                  "--lmtp-socket=/s",
                                  "--lmtp-socket-mode=600",
                                  "--lmtp-socket-group=g"});
    const Options next = WithReloadable(running, fresh);
    std::vector<std::string_view> reloadable;
    std::vector<std::string_view> others;
    for (const OptionSpec& row : OptionTable()) {
        if (row.place != OptionPlace::Anywhere) {
            continue;
        }
        SCOPED_TRACE(row.name);
        ASSERT_NE(row.get(running), row.get(fresh)) << "each option differs here";
        EXPECT_EQ(row.get(next), row.get(row.reloadable ? fresh : running));
        (row.reloadable ? reloadable : others).push_back(row.name);
    }
    EXPECT_EQ(ChangedOptions(running, fresh, true), reloadable);
    EXPECT_EQ(ChangedOptions(running, fresh, false), others);
    EXPECT_EQ(ChangedOptions(running, next, false), std::vector<std::string_view>{});
}
