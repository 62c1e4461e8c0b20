#include "app/options.h"

#include "app/options_file.h"
#include "app/options_table.h"
#include "support/loopback.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <vector>

namespace {

ParsedOptions ParseAll(std::vector<const char*> args) {
    args.insert(args.begin(), "drennik");
    return ParseOptions(static_cast<int>(args.size()), args.data());
}

std::optional<Options> Parse(std::vector<const char*> args, std::string* error = nullptr) {
    ParsedOptions parsed = ParseAll(std::move(args));
    if (error != nullptr) {
        *error = parsed.problems.empty() ? "" : parsed.problems.front();
    }
    if (!parsed.problems.empty()) {
        return std::nullopt;
    }
    return parsed.options;
}

std::string SourceFile(const std::string& relative) {
    std::ifstream in(std::string(DRENNIK_SOURCE_DIR) + "/" + relative, std::ios::binary);
    EXPECT_TRUE(in) << relative;
    return {std::istreambuf_iterator<char>(in), {}};
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
    EXPECT_TRUE(defaults->listenAddresses.empty()) << "every address";
    const auto listen = Parse({"--listen", "127.0.0.2", "--listen=::1"});
    ASSERT_TRUE(listen);
    EXPECT_EQ(listen->listenAddresses, (std::vector{*platform::IpAddress::Parse("127.0.0.2"),
                                                    *platform::IpAddress::Parse("::1")}))
        << "repeated, the addresses add up";
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
                                               {"--listen", "[::1]"},
                                               {"--listen", "::1,"},
                                               {"--listen", "localhost"},
                                               {"--listen", "127.0.0"},
                                               {"--user"},
                                               {"--user="},
                                               {"--require-tls=maybe"},
                                               {"--config"},
                                               {"--config="},
                                               {"-z"}}) {
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

TEST(Options, ConfigurationLines) {
    struct Case {
        std::string text;
        std::string expected;  // a line of the printout, or the one problem
    };
    const std::vector<Case> cases{
        {"port = 1110", "port = 1110"},
        {" \tport=0  ", "port = 0"},
        {"port = 1110\r\n", "port = 1110"},
        {"\t# port = 5\n\nport = 7\n", "port = 7"},
        {"root = /Post Office 2/", "root = /Post Office 2/"},
        {"root = /a#b", "root = /a#b"},
        {"listen = 127.0.0.2", "listen = 127.0.0.2"},
        {"listen = ::1 , 0:0::0:1:2", "listen = ::1,::1:2"},
        {"idle-timeout = 30", "idle-timeout = 30"},
        {"tls-self-signed = Yes", "tls-self-signed = yes"},
        {"require-tls = on", "require-tls = yes"},
        {"require-tls = FALSE", "require-tls = no"},
        {"passwords =", "passwords ="},
        {"pop3s-port =", "pop3s-port ="},
        {"port", "f.conf line 1: expected \"name = value\""},
        {"= 5", "f.conf line 1: expected \"name = value\""},
        {"port =", "f.conf line 1: port needs a value"},
        {"port = 65536", "f.conf line 1: bad port: 65536"},
        {"\n# x\nbogus = 1", "f.conf line 3: unknown option: bogus"},
        {"--port = 1",
         "f.conf line 1: unknown option: --port (names are written without the leading --)"},
        {"config = other.conf", "f.conf line 1: config is an option of the command line only"},
        {"check = yes", "f.conf line 1: check is an option of the command line only"},
        {"tls-self-signed = maybe", "f.conf line 1: tls-self-signed takes yes or no, not maybe"},
        {"port = 1\nport = 2", "f.conf line 2: port is set already on line 1"},
        {std::string("root = /a\0b", 11), "f.conf line 1: a control character in the line"},
        {"listen = ::1/128",
         "f.conf line 1: bad listen address (an IPv4 or IPv6 address is needed): ::1/128"},
        {"max-per-address = -1", "f.conf line 1: bad max-per-address: -1"},
        {"idle-timeout = 0", "f.conf line 1: bad idle timeout: 0"},
    };
    for (const Case& c : cases) {
        Options options;
        const std::vector<std::string> problems = ReadConfiguration(c.text, "f.conf", options);
        if (c.expected.starts_with("f.conf")) {
            EXPECT_EQ(problems, std::vector<std::string>{c.expected}) << c.text;
        } else {
            EXPECT_EQ(problems, std::vector<std::string>{}) << c.text;
            EXPECT_NE(DescribeOptions(options).find(c.expected + "\n"), std::string::npos)
                << c.text << "\n"
                << DescribeOptions(options);
        }
    }

    // Every bad line is told; the good ones around them still count.
    Options options;
    EXPECT_EQ(ReadConfiguration("port = x\nroot = /r\nbogus\n", "f.conf", options),
              (std::vector<std::string>{"f.conf line 1: bad port: x",
                                        "f.conf line 3: expected \"name = value\""}));
    EXPECT_EQ(options.root, "/r");
}

TEST(Options, ThePrintoutReadsBackAsTheSameSettings) {
    const auto set = Parse({"--port=1",
                            "--listen",
                            "10.1.2.3",
                            "--root",
                            "/m d",
                            "--idle-timeout",
                            "9",
                            "--max-connections",
                            "0",
                            "--max-per-address",
                            "2",
                            "--passwords",
                            "/p",
                            "--require-tls",
                            "--user",
                            "u",
                            "--tls-cert",
                            "c",
                            "--tls-key",
                            "k",
                            "--pop3s-port",
                            "995"});
    ASSERT_TRUE(set);
    for (const Options& options : {Options{}, *set}) {
        const std::string printed = DescribeOptions(options);
        Options read;
        EXPECT_EQ(ReadConfiguration(printed, "printed", read), std::vector<std::string>{});
        EXPECT_EQ(DescribeOptions(read), printed);
    }
    EXPECT_EQ(set->listenAddresses, std::vector{*platform::IpAddress::Parse("10.1.2.3")});
}

TEST(Options, TheCommandLineOverridesTheFile) {
    const testing_support::TempDir dir;
    const std::string file = dir.Write("f.conf",
                                       "port = 1110\nroot = /from/file\nrequire-tls = yes\n"
                                       "tls-self-signed = yes\nmax-per-address = 3\n"
                                       "listen = 127.0.0.3, ::1\n");
    const auto both = Parse({"--port=0", "--config", file.c_str(), "--tls-self-signed=no",
                             "--tls-cert", "c.pem", "--tls-key", "k.pem"});
    ASSERT_TRUE(both);
    EXPECT_EQ(both->port, 0) << "given before --config, and still wins";
    EXPECT_EQ(both->root, "/from/file");
    EXPECT_TRUE(both->requireTls);
    EXPECT_FALSE(both->tlsSelfSigned);
    EXPECT_EQ(both->tlsCertificate, "c.pem");
    EXPECT_EQ(both->maxPerAddress, 3u);
    EXPECT_EQ(both->listenAddresses.size(), 2u);
    const auto listen = Parse({"--config", file.c_str(), "--listen", "127.0.0.4"});
    ASSERT_TRUE(listen);
    EXPECT_EQ(listen->listenAddresses, std::vector{*platform::IpAddress::Parse("127.0.0.4")})
        << "the command line's list replaces the file's";

    // What needs what is judged on the two together.
    std::string error;
    EXPECT_FALSE(
        Parse({"--config", file.c_str(), "--tls-cert", "c.pem", "--tls-key", "k.pem"}, &error));
    EXPECT_EQ(error, "--tls-self-signed and --tls-cert/--tls-key exclude each other");
    EXPECT_FALSE(Parse({"--config", file.c_str(), "--tls-self-signed=off"}, &error));
    EXPECT_EQ(error, "--require-tls needs --tls-cert and --tls-key, or --tls-self-signed");

    // Problems of the file are its own, without the usage; the command line's come after.
    const std::string bad = dir.Write("bad.conf", "port = 1\nport = 2\nroot =\n");
    const ParsedOptions parsed = ParseAll({"--config", bad.c_str(), "--port", "x"});
    EXPECT_EQ(parsed.problems,
              (std::vector<std::string>{bad + " line 2: port is set already on line 1",
                                        bad + " line 3: root needs a value", "bad port: x"}));
    const ParsedOptions fileOnly = ParseAll({"--config", bad.c_str()});
    EXPECT_EQ(fileOnly.problems.size(), 2u);
    EXPECT_FALSE(fileOnly.badCommandLine);
    EXPECT_EQ(ParseAll({"--config", (dir.path() + "/none").c_str()}).problems,
              std::vector<std::string>{"cannot read the configuration file " + dir.path() +
                                       "/none: No such file or directory"});
    EXPECT_EQ(ParseAll({"--config", dir.path().c_str()}).problems,
              std::vector<std::string>{"the configuration file " + dir.path() +
                                       " is not a regular file"});
    EXPECT_TRUE(Parse({"--config", bad.c_str(), "--help"})) << "--help reads no file";
}

TEST(Options, ManualPageNamesEveryOption) {
    const std::string page = SourceFile("packaging/drennik.1");
    const auto start = page.find("\n.SH OPTIONS\n");
    ASSERT_NE(start, std::string::npos);
    const std::string section = page.substr(start, page.find("\n.SH ", start + 1) - start);
    for (const OptionSpec& row : OptionTable()) {
        std::string escaped;
        for (const char c : row.name) {
            escaped += c == '-' ? std::string("\\\\-") : std::string(1, c);
        }
        // An entry of its own: a tagged paragraph whose tag begins with the option.
        const std::regex entry("\n\\.TP\n\\.B[IR]? \\\\-\\\\-" + escaped + "[ \n]");
        EXPECT_TRUE(std::regex_search(section, entry)) << row.name;
    }
}

TEST(Options, PackagedConfigurationShowsEveryOptionWithItsDefault) {
    const std::string text = SourceFile("packaging/drennik.conf");
    Options asShipped;
    EXPECT_EQ(ReadConfiguration(text, "drennik.conf", asShipped), std::vector<std::string>{});
    EXPECT_EQ(DescribeOptions(asShipped), DescribeOptions(Options{}));

    // Each option once, commented out with the value it has when nothing sets it.
    std::string uncommented;
    const std::regex setting("^# ([a-z0-9-]+) =(.*)$");
    std::size_t settings = 0;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        std::string line = text.substr(at, end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        std::smatch match;
        if (std::regex_match(line, match, setting) && FindOption(match[1].str()) != nullptr) {
            line = line.substr(2);
            ++settings;
        }
        uncommented += line + '\n';
    }
    Options uncommentedOptions;
    EXPECT_EQ(ReadConfiguration(uncommented, "drennik.conf", uncommentedOptions),
              std::vector<std::string>{});
    EXPECT_EQ(DescribeOptions(uncommentedOptions), DescribeOptions(Options{}));
    std::size_t fileOptions = 0;
    for (const OptionSpec& row : OptionTable()) {
        fileOptions += row.place == OptionPlace::Anywhere ? 1 : 0;
    }
    EXPECT_EQ(settings, fileOptions);
}
