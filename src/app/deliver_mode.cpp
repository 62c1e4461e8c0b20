#include "app/deliver_mode.h"

#include "mail_service/delivery.h"
#include "mail_service/maildrop.h"
#include "platform/privileges.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

// sysexits.h, spelled out: the codes are what the caller acts on.
constexpr int kDelivered = 0;
constexpr int kUsage = 64;
constexpr int kBadInput = 65;
constexpr int kUnknownUser = 67;
constexpr int kTryLater = 75;

constexpr const char* kUsageText =
    "usage: drennik deliver [--root DIR] [--create-maildrops] [--catch-all USER]\n"
    "                       [--max-message-size N] USER...\n"
    "Stores the message read on standard input for each USER.\n";

struct DeliverOptions {
    std::string root = "/Post Office/";
    DeliveryRules rules;
    std::vector<std::string> users;
};

// Empty, or what is wrong with the command line.
std::string Parse(int argc, const char* const* argv, DeliverOptions& options) {
    bool optionsEnded = false;
    for (int i = 0; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg.substr(0, 2) != "--") {
            options.users.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string_view name = arg.substr(2);
        std::string_view value;
        bool hasValue = false;
        if (const std::size_t equals = name.find('='); equals != std::string_view::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            hasValue = true;
        }
        if (name == "create-maildrops") {
            if (hasValue && value != "yes" && value != "no") {
                return "--create-maildrops takes yes or no";
            }
            options.rules.createMaildrops = !hasValue || value == "yes";
            continue;
        }
        if (name != "root" && name != "catch-all" && name != "max-message-size") {
            return "unknown option --" + std::string(name);
        }
        if (!hasValue) {
            if (++i >= argc) {
                return "--" + std::string(name) + " needs a value";
            }
            value = argv[i];
        }
        if (value.empty()) {
            return "--" + std::string(name) + " needs a value";
        }
        if (name == "root") {
            options.root = value;
        } else if (name == "catch-all") {
            if (!IsPlainFolderName(value)) {
                return "bad --catch-all user: " + std::string(value);
            }
            options.rules.catchAll = value;
        } else {
            long long size = 0;
            const auto [end, error] =
                std::from_chars(value.data(), value.data() + value.size(), size);
            if (error != std::errc() || end != value.data() + value.size() || size < 1) {
                return "bad --max-message-size: " + std::string(value);
            }
            options.rules.maxMessageSize = size;
        }
    }
    if (options.users.empty()) {
        return "no user named";
    }
    return {};
}

// Run as root, the files are made as the owner of the maildrop root, as the server reads and
// deletes them as that user; a root owned by root keeps root.
std::string BecomeRootOwner(const std::string& root) {
    if (::geteuid() != 0) {
        return {};
    }
    const std::optional<uid_t> owner = platform::OwnerOf(root);
    if (!owner || *owner == 0) {
        return {};
    }
    const std::optional<platform::Account> account = platform::SystemAccounts().ById(*owner);
    if (!account) {
        return "the owner of the maildrop root (uid " + std::to_string(*owner) + ") has no account";
    }
    return platform::BecomeAccount(*account);
}

long ReadStandardInput(char* buffer, std::size_t capacity) {
    while (true) {
        const ssize_t n = ::read(STDIN_FILENO, buffer, capacity);
        if (n >= 0 || errno != EINTR) {
            return static_cast<long>(n);
        }
    }
}

}  // namespace

int RunDeliver(int argc, const char* const* argv) {
    DeliverOptions options;
    if (const std::string problem = Parse(argc, argv, options); !problem.empty()) {
        std::fprintf(stderr, "drennik deliver: %s\n%s", problem.c_str(), kUsageText);
        return kUsage;
    }
    if (const std::string reason = BecomeRootOwner(options.root); !reason.empty()) {
        std::fprintf(stderr, "drennik deliver: %s\n", reason.c_str());
        return kTryLater;
    }
    const MaildropStore store(options.root);
    const DeliveryReport report =
        DeliverMessage(store.RootFolder(), options.users, options.rules, ReadStandardInput);
    const char* user = report.user.c_str();
    switch (report.outcome) {
        case DeliveryOutcome::Delivered:
            return kDelivered;
        case DeliveryOutcome::UnknownUser:
            std::fprintf(stderr, "drennik deliver: unknown user %s\n", user);
            return kUnknownUser;
        case DeliveryOutcome::BadInput:
            std::fprintf(stderr, "drennik deliver: %s\n",
                         report.error != 0 ? std::strerror(report.error) : "empty message");
            return kBadInput;
        case DeliveryOutcome::TooBig:
            std::fprintf(stderr, "drennik deliver: message larger than %lld bytes\n",
                         static_cast<long long>(options.rules.maxMessageSize));
            return kBadInput;
        case DeliveryOutcome::Failed:
            if (!store.RootProblem().empty()) {
                std::fprintf(stderr, "drennik deliver: %s\n", store.RootProblem().c_str());
            } else {
                std::fprintf(stderr, "drennik deliver: cannot store for %s: %s\n", user,
                             std::strerror(report.error));
            }
            return kTryLater;
    }
    return kTryLater;
}
