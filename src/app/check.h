#pragma once
// drennik --check: everything a start would read, read and judged without starting. Nothing is
// bound and no Qt application is made, so it can run before the service (ExecStartPre) with
// the same options, as the same user.

#include "app/options.h"

#include <string>
#include <vector>

struct CheckResult {
    std::vector<std::string> problems;  // each would stop the start, or leave it serving nothing
    std::vector<std::string> warnings;  // worth fixing, but the server would run
};

// Loads the certificate and key, reads the passwords file, looks at the maildrop root, at the
// trace file (without making it) and at whom the server would run as.
CheckResult CheckSetup(const Options& options);

// Prints the settings on standard output and returns 0; or each problem on standard error
// and returns 2. Warnings go to standard error either way.
int RunCheck(const Options& options);
