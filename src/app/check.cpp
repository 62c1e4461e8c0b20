#include "app/check.h"

#include "mail_service/authenticator.h"
#include "mail_service/maildrop.h"
#include "platform/private_file.h"
#include "platform/privileges.h"
#include "socket_layer/tls_context.h"

#include <cstdio>

#include <unistd.h>

CheckResult CheckSetup(const Options& options) {
    CheckResult result;
    std::string error;
    if (!options.tlsCertificate.empty() &&
        !TlsContext::FromFiles(options.tlsCertificate, options.tlsKey, error)) {
        result.problems.push_back(error);
    }
    if (!options.passwords.empty() && !Authenticator::ReadPasswordFile(options.passwords, error)) {
        result.problems.push_back(error);
    }
    if (!options.traceFile.empty()) {
        if (const std::string problem = platform::PrivateAppendProblem(options.traceFile);
            !problem.empty()) {
            result.problems.push_back("cannot open the trace file " + options.traceFile + ": " +
                                      problem);
        }
    }
    // A root that is missing or a link only warns at a start, and then serves no mail at all:
    // before a service starts, that is worth stopping for.
    if (std::string problem = MaildropStore(options.root).RootProblem(); !problem.empty()) {
        result.problems.push_back(std::move(problem));
    }
    const platform::RunAsChoice runAs = platform::ChooseRunAs(
        ::geteuid(), options.user, platform::OwnerOf(options.root), platform::SystemAccounts());
    if (runAs.kind == platform::RunAsChoice::Kind::Refuse) {
        result.problems.push_back(runAs.message);
    }
    const bool switching = runAs.kind == platform::RunAsChoice::Kind::Switch;
    for (const std::string& secret : {options.passwords, options.tlsKey}) {
        if (secret.empty()) {
            continue;
        }
        if (std::string warning =
                platform::SecretFileWarning(secret, switching ? runAs.account.uid : ::geteuid(),
                                            switching ? runAs.account.gid : ::getegid());
            !warning.empty()) {
            result.warnings.push_back(std::move(warning));
        }
    }
    return result;
}

int RunCheck(const Options& options) {
    const CheckResult result = CheckSetup(options);
    for (const std::string& warning : result.warnings) {
        std::fprintf(stderr, "drennik: warning: %s\n", warning.c_str());
    }
    for (const std::string& problem : result.problems) {
        std::fprintf(stderr, "drennik: %s\n", problem.c_str());
    }
    if (!result.problems.empty()) {
        return 2;
    }
    std::fputs(DescribeOptions(options).c_str(), stdout);
    return 0;
}
