#include "app/options.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <vector>

namespace {

std::optional<Options> Parse(std::vector<const char*> args, std::string* error = nullptr) {
    args.insert(args.begin(), "drennik");
    std::string message;
    auto options = ParseOptions(static_cast<int>(args.size()), args.data(), message);
    if (error != nullptr) {
        *error = message;
    }
    return options;
}

}  // namespace

TEST(Options, DefaultsAndOverrides) {
    const auto defaults = Parse({});
    ASSERT_TRUE(defaults);
    EXPECT_EQ(defaults->port, 110);
    EXPECT_EQ(defaults->root, "/Post Office/");
    EXPECT_EQ(defaults->idleTimeout, std::chrono::minutes(10));
    EXPECT_EQ(defaults->user, "");
    const auto set =
        Parse({"--port", "0", "--root=/tmp/x", "--idle-timeout", "3", "--user", "nobody"});
    ASSERT_TRUE(set);
    EXPECT_EQ(set->port, 0);
    EXPECT_EQ(set->root, "/tmp/x");
    EXPECT_EQ(set->idleTimeout, std::chrono::seconds(3));
    EXPECT_EQ(set->user, "nobody");
    EXPECT_EQ(Parse({"--port=65535"})->port, 65535);
    EXPECT_EQ(defaults->maxConnections, 10000u);
    EXPECT_EQ(defaults->maxPerAddress, 100u);
    const auto limits = Parse({"--max-connections", "0", "--max-per-address=7"});
    ASSERT_TRUE(limits);
    EXPECT_EQ(limits->maxConnections, 0u);
    EXPECT_EQ(limits->maxPerAddress, 7u);
    EXPECT_EQ(defaults->listenAddress, 0u) << "every address";
    const auto listen = Parse({"--listen", "127.0.0.2"});
    ASSERT_TRUE(listen);
    EXPECT_EQ(listen->listenAddress, htonl(0x7f000002));
}

TEST(Options, BadOptionsAreRefusedWithAReason) {
    std::string error;
    for (const std::vector<const char*>& bad :
         std::vector<std::vector<const char*>>{{"--port"},
                                               {"--port", "65536"},
                                               {"--port", "-1"},
                                               {"--port", "12x"},
                                               {"--port", ""},
                                               {"--bogus"},
                                               {"--root", ""},
                                               {"--idle-timeout", "0"},
                                               {"--max-connections", "-1"},
                                               {"--max-per-address", "x"},
                                               {"--max-per-address"},
                                               {"--listen", "::1"},
                                               {"--listen", "localhost"},
                                               {"--listen", "127.0.0"},
                                               {"--user"},
                                               {"--user="}}) {
        EXPECT_FALSE(Parse(bad, &error)) << bad[0];
        EXPECT_FALSE(error.empty());
    }
}

TEST(Options, TlsNeedsACertificateAndItsKeyOrASelfSignedOne) {
    const auto none = Parse({});
    EXPECT_FALSE(TlsWanted(*none));
    EXPECT_EQ(none->pop3sPort, -1);
    const auto files =
        Parse({"--tls-cert", "c.pem", "--tls-key=k.pem", "--pop3s-port", "0", "--port", "5"});
    ASSERT_TRUE(files);
    EXPECT_TRUE(TlsWanted(*files));
    EXPECT_EQ(files->tlsCertificate, "c.pem");
    EXPECT_EQ(files->tlsKey, "k.pem");
    EXPECT_EQ(files->pop3sPort, 0);
    EXPECT_EQ(files->port, 5);
    const auto made = Parse({"--tls-self-signed", "--pop3s-port=995"});
    ASSERT_TRUE(made);
    EXPECT_TRUE(made->tlsSelfSigned);
    EXPECT_EQ(made->pop3sPort, 995);

    std::string error;
    for (const std::vector<const char*>& bad : std::vector<std::vector<const char*>>{
             {"--tls-cert", "c.pem"},
             {"--tls-key", "k.pem"},
             {"--tls-cert", "c.pem", "--tls-key", "k.pem", "--tls-self-signed"},
             {"--pop3s-port", "0"},
             {"--require-tls"},
             {"--tls-self-signed", "--pop3s-port", "65536"},
             {"--tls-cert=", "--tls-key=k.pem"}}) {
        EXPECT_FALSE(Parse(bad, &error)) << bad[0];
        EXPECT_FALSE(error.empty());
    }
}
