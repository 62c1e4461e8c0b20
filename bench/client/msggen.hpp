// Deterministic test messages and the maildrops that hold them: one copy for
// Drennik (ROOT/USER/NNNNNN.msg) hard-linked into Dovecot Maildirs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bench {

// Message of exactly `size` bytes: a few headers, then ~76-char body lines
// ended by CR LF, some starting with "." (including "." and ".." alone).
std::string makeMessage(std::uint64_t seed, std::size_t size, const std::string& user);

// The same bytes in consecutive pieces of about 1 MiB, each ending at a line end; the first
// holds the whole header (for messages too big to hold, or to compare a stored copy).
void streamMessage(std::uint64_t seed, std::uint64_t size, const std::string& user,
                   const std::function<void(const std::string&)>& out);

// Writes the same bytes straight to a file (for messages too big to hold).
void writeMessageFile(const std::string& path, std::uint64_t seed, std::uint64_t size,
                      const std::string& user);

struct MaildropPlan {
    std::string user;
    std::size_t count = 1;
    std::uint64_t size = 2048;
    std::uint64_t seed = 1;
    std::string drennikRoot;
    std::vector<std::string> maildirRoots;  // each gets USER/Maildir/{cur,new,tmp}
};

void writeMaildrop(const MaildropPlan& plan);

}  // namespace bench
