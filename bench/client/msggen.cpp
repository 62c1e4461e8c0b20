#include "msggen.hpp"

#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace bench {
namespace {

struct SplitMix {
    std::uint64_t s;
    std::uint64_t next() {
        std::uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
};

// 64 symbols so one 6-bit slice picks one; spaces make word-like text.
constexpr char kAlpha[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .";
static_assert(sizeof kAlpha == 65);

std::string header(std::uint64_t seed, const std::string& user) {
    std::string s =
        "Return-Path: <bench@drennik.invalid>\r\n"
        "From: Bench <bench@drennik.invalid>\r\n"
        "To: " +
        user + " <" + user +
        "@drennik.invalid>\r\n"
        "Subject: bench message " +
        std::to_string(seed) +
        "\r\n"
        "Date: Mon, 01 Jan 2024 00:00:00 +0000\r\n"
        "Message-ID: <" +
        std::to_string(seed) +
        "@drennik.invalid>\r\n"
        "\r\n";
    return s;
}

// Calls out(buffer) with consecutive chunks (about 1 MiB) of the message.
template <class Out>
void generate(std::uint64_t seed, std::uint64_t size, const std::string& user, Out&& out) {
    std::string buf = header(seed, user);
    if (size < buf.size() + 4)
        throw std::invalid_argument("message size below header size");
    std::uint64_t remaining = size - buf.size();
    SplitMix rng{seed};
    constexpr std::size_t kChunk = 1 << 20;
    buf.reserve(kChunk + 256);

    auto line = [&](std::size_t len, std::uint64_t kind) {
        std::size_t at = buf.size();
        buf.resize(at + len + 2);
        char* d = buf.data() + at;
        for (std::size_t j = 0; j < len;) {
            std::uint64_t r = rng.next();
            for (int k = 0; k < 10 && j < len; ++k, ++j, r >>= 6)
                d[j] = kAlpha[r & 63];
        }
        // About one line in 16 starts with "." (a few with ".."), to be stuffed.
        if (len >= 1 && kind % 16 == 0)
            d[0] = '.';
        if (len >= 2 && kind % 64 == 0)
            d[1] = '.';
        d[len] = '\r';
        d[len + 1] = '\n';
        remaining -= len + 2;
        if (buf.size() >= kChunk) {
            out(buf);
            buf.clear();
        }
    };
    while (remaining > 156) {
        std::uint64_t kind = rng.next();
        switch (kind % 512) {
            case 1:
                line(1, 0);
                break;  // "."
            case 2:
                line(2, 0);
                break;  // ".."
            case 3:
                line(0, 1);
                break;  // empty line
            default:
                line(76, kind >> 9);
                break;
        }
    }
    if (remaining >= 4) {
        std::size_t a = static_cast<std::size_t>((remaining - 4) / 2);
        std::size_t b = static_cast<std::size_t>(remaining - 4 - a);
        line(a, rng.next());
        line(b, rng.next());
    } else if (remaining >= 2) {
        line(static_cast<std::size_t>(remaining - 2), rng.next());
    }
    if (!buf.empty())
        out(buf);
}

// A copy, not a second link: a file linked into another folder is one whose changes Drennik's
// folder watch would not see, so Drennik rightly lists such a maildrop from disk every time.
// Two servers' stores never share files in a real set-up.
void copyFile(const std::string& from, const std::string& to) {
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
}

}  // namespace

std::string makeMessage(std::uint64_t seed, std::size_t size, const std::string& user) {
    std::string all;
    all.reserve(size);
    generate(seed, size, user, [&](const std::string& b) { all += b; });
    return all;
}

void streamMessage(std::uint64_t seed, std::uint64_t size, const std::string& user,
                   const std::function<void(const std::string&)>& out) {
    generate(seed, size, user, out);
}

void writeMessageFile(const std::string& path, std::uint64_t seed, std::uint64_t size,
                      const std::string& user) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        throw std::runtime_error(path + ": " + std::strerror(errno));
    bool ok = true;
    generate(seed, size, user, [&](const std::string& b) {
        ok = ok && std::fwrite(b.data(), 1, b.size(), f) == b.size();
    });
    if (std::fclose(f) != 0 || !ok)
        throw std::runtime_error(path + ": write failed");
}

void writeMaildrop(const MaildropPlan& plan) {
    namespace fs = std::filesystem;
    const std::string dir = plan.drennikRoot + "/" + plan.user;
    fs::create_directories(dir);
    for (const auto& m : plan.maildirRoots)
        for (const char* sub : {"cur", "new", "tmp"})
            fs::create_directories(m + "/" + plan.user + "/Maildir/" + sub);
    SplitMix names{plan.seed ^ 0x5eedULL};
    for (std::size_t i = 0; i < plan.count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%06zu.msg", i + 1);  // bytewise order = number
        const std::string path = dir + "/" + name;
        writeMessageFile(path, plan.seed * 1000003ULL + i, plan.size, plan.user);
        // Dovecot's own style of name, with varied parts: names that differ
        // only by a counter collide in its file-name hash. The time part grows
        // with i because Dovecot numbers messages by it, like Drennik by name.
        std::uint64_t r = names.next();
        char md[160];
        std::snprintf(md, sizeof md, "%llu.M%lluP%lluQ%zu.drennik-bench,S=%llu,W=%llu:2,S",
                      1600000000ULL + i * 60 + r % 60, (r >> 27) % 1000000ULL,
                      1000 + (r >> 47) % 90000ULL, i + 1,
                      static_cast<unsigned long long>(plan.size),
                      static_cast<unsigned long long>(plan.size));
        for (const auto& m : plan.maildirRoots)
            copyFile(path, m + "/" + plan.user + "/Maildir/cur/" + md);
    }
}

}  // namespace bench
