#pragma once
// The configuration file: one option a line, "name = value" with the long option names
// (`port = 110`, a flag `tls-self-signed = yes`: yes/no, true/false, on/off). Blanks around the
// name and the value do not count; lines whose first non-blank is "#" and blank lines are
// skipped. An empty value leaves an option that has no default unset, as the --check printout
// writes it. Each option may be set once.

#include "app/options.h"

#include <string>
#include <string_view>
#include <vector>

// Applies the settings of `text` to `options`. Returns the problems, one for each bad line, as
// "LABEL line N: REASON"; the good lines are applied whatever the others hold.
std::vector<std::string> ReadConfiguration(std::string_view text, const std::string& label,
                                           Options& options);

// The same for the file at `path`, which must be a regular file of at most 1 MiB (a file that
// cannot be read is one problem, naming it).
std::vector<std::string> ReadConfigurationFile(const std::string& path, Options& options);
