#include "lmtpops.hpp"

#include "msggen.hpp"
#include "pop3ops.hpp"

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace bench {

std::string expectCode(Conn& c, int code, std::string_view what) {
    std::string all;
    // A reply of more than 100 lines is no server's LHLO; the bound keeps a bad one finite.
    for (int i = 0; i < 100; ++i) {
        const std::string l = c.readLine();
        if (l.size() < 3 || std::to_string(code) != l.substr(0, 3) ||
            (l.size() > 3 && l[3] != ' ' && l[3] != '-'))
            throw NetError(std::string(what) + ": expected " + std::to_string(code) +
                           ", got: " + l.substr(0, 200));
        all += l;
        if (l.size() == 3 || l[3] == ' ')
            return all;
        all += '\n';
    }
    throw NetError(std::string(what) + ": reply longer than 100 lines");
}

void appendStuffed(std::string& out, std::string_view lines) {
    std::size_t at = 0;
    while (at < lines.size()) {
        std::size_t nl = lines.find('\n', at);
        nl = nl == std::string_view::npos ? lines.size() : nl + 1;
        if (lines[at] == '.')
            out += '.';
        out.append(lines.substr(at, nl - at));
        at = nl;
    }
}

std::string dataForm(std::uint64_t seed, std::uint64_t size, const std::string& user) {
    const std::string m = makeMessage(seed, static_cast<std::size_t>(size), user);
    std::string out;
    out.reserve(m.size() + m.size() / 32 + 8);
    appendStuffed(out, m);
    return out + ".\r\n";
}

std::string mailbox(const std::string& user, const std::string& domain) {
    return user + "@" + domain;
}

std::string lmtpHello(Conn& c) {
    expectCode(c, 220, "greeting");
    c.sendAll("LHLO bench.localhost\r\n");
    return expectCode(c, 250, "LHLO");
}

void lmtpSendOne(Conn& c, const std::string& rcpt, std::string_view data) {
    c.sendAll("MAIL FROM:<bench@localhost>\r\n");
    expectCode(c, 250, "MAIL");
    c.sendAll("RCPT TO:<" + rcpt + ">\r\n");
    expectCode(c, 250, "RCPT");
    c.sendAll("DATA\r\n");
    expectCode(c, 354, "DATA");
    c.sendAll(data);
    expectCode(c, 250, "end of data");
}

void lmtpQuit(Conn& c) {
    c.sendAll("QUIT\r\n");
    expectCode(c, 221, "QUIT");
}

std::vector<std::string> storedMessages(const std::string& folder) {
    namespace fs = std::filesystem;
    std::vector<std::string> dirs{folder};
    if (fs::is_directory(folder + "/new"))
        dirs = {folder + "/new", folder + "/cur"};
    std::vector<std::string> out;
    for (const auto& d : dirs) {
        if (!fs::is_directory(d))
            continue;
        for (const auto& e : fs::directory_iterator(d)) {
            if (e.is_regular_file() && e.path().filename().string()[0] != '.')
                out.push_back(e.path().string());
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

void checkStored(const std::string& path, std::uint64_t size, const std::string& user) {
    MappedFile file(path);
    const std::span<const char> f = file.bytes();
    const std::string_view head(f.data(), std::min<std::size_t>(f.size(), 64 << 10));
    // The header ends at the first empty line, whichever line end the server stored.
    std::size_t blank = head.find("\n\n"), blankCr = head.find("\n\r\n");
    std::size_t bodyAt = std::min(blank == std::string_view::npos ? blank : blank + 2,
                                  blankCr == std::string_view::npos ? blankCr : blankCr + 3);
    const std::string_view subject = "\nSubject: bench message ";
    const std::size_t s = head.find(subject);
    if (bodyAt == std::string_view::npos || s == std::string_view::npos || s > bodyAt)
        throw NetError(path + ": no header end or no bench Subject in the stored message");
    const std::uint64_t seed = std::strtoull(head.data() + s + subject.size(), nullptr, 10);
    std::size_t j = bodyAt;
    bool first = true;
    std::string why;
    streamMessage(seed, size, user, [&](const std::string& chunk) {
        std::size_t i = 0;
        if (first) {
            i = chunk.find("\r\n\r\n") + 4;
            first = false;
        }
        for (; i < chunk.size() && why.empty(); ++i, ++j) {
            if (chunk[i] == '\r' && j < f.size() && f[j] == '\n')
                ++i;  // stored with LF line ends
            if (j >= f.size() || f[j] != chunk[i])
                why = "body differs at byte " + std::to_string(j) + " of the stored file";
        }
    });
    if (why.empty() && j != f.size())
        why = "stored file has " + std::to_string(f.size() - j) + " bytes after the body";
    if (!why.empty())
        throw NetError(path + " (message " + std::to_string(seed) + "): " + why);
}

void checkFolder(const std::string& folder, std::size_t expected, std::uint64_t size,
                 const std::string& user) {
    const std::vector<std::string> files = storedMessages(folder);
    if (files.size() != expected)
        throw NetError(folder + " holds " + std::to_string(files.size()) + " messages, " +
                       std::to_string(expected) + " were delivered");
    if (files.empty())
        return;
    for (std::size_t k : {std::size_t{0}, files.size() / 2, files.size() - 1})
        checkStored(files[k], size, user);
}

}  // namespace bench
