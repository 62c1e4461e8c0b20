#include "wire_form.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

namespace ref {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File openOrThrow(const std::string& path, const char* mode) {
    File f(std::fopen(path.c_str(), mode));
    if (!f)
        throw std::runtime_error(path + ": " + std::strerror(errno));
    return f;
}

}  // namespace

std::uint64_t writeWireForm(const std::string& message, const std::string& wire) {
    File in = openOrThrow(message, "rb");
    File out = openOrThrow(wire, "wb");
    std::vector<char> buf(1 << 20), stuffed;
    stuffed.reserve(buf.size() * 2 + 8);
    std::uint64_t written = 0;
    bool lineStart = true;
    char last = '\n';
    for (;;) {
        const std::size_t n = std::fread(buf.data(), 1, buf.size(), in.get());
        if (n == 0)
            break;
        stuffed.clear();
        for (std::size_t i = 0; i < n; ++i) {
            if (lineStart && buf[i] == '.')
                stuffed.push_back('.');
            stuffed.push_back(buf[i]);
            lineStart = buf[i] == '\n';
        }
        last = buf[n - 1];
        if (std::fwrite(stuffed.data(), 1, stuffed.size(), out.get()) != stuffed.size())
            throw std::runtime_error(wire + ": " + std::strerror(errno));
        written += stuffed.size();
    }
    if (std::ferror(in.get()))
        throw std::runtime_error(message + ": read failed");
    // A message whose last line has no CR LF gets one before the terminating line.
    const std::string end = last == '\n' ? ".\r\n" : "\r\n.\r\n";
    if (std::fwrite(end.data(), 1, end.size(), out.get()) != end.size() ||
        std::fflush(out.get()) != 0)
        throw std::runtime_error(wire + ": " + std::strerror(errno));
    return written + end.size();
}

}  // namespace ref
