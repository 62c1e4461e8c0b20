// Drives two POP3 conversations over the real socket layer and event loop with arbitrary byte
// streams, while their maildrop changes underneath them, and checks every reply byte against a
// model of what the server must answer. Also checked after each input: both connections closed
// after their clients' end, the maildrop exactly as the model says (no file deleted that QUIT
// had to keep, none kept that it had to delete), nothing outside the maildrop root touched or
// served, the trace within its limit.
//
// An input is 8 seed bytes (where the clients' writes are cut, which client has tiny socket
// buffers, whether the big messages are there), then what the clients send. 0xFF starts a control
// sequence:
//   FF FF          one 0xFF byte
//   FF 'c'         the other client sends from now on
//   FF 'r' b h l   a run of h * 256 + l + 1 bytes b: long lines without long inputs
//   FF 'R' b d     a run of 65536 + d - 128 bytes b: lines at the length limit
//   FF 'L' b h l   a run of (h * 256 + l + 1) * 4 bytes b
//   FF 'm' a b     a change to the maildrop before the next bytes go out (see Mutate)
//   FF 'p'         the current client stops reading its replies, or starts again
//   FF 'x'         the current client ends its output (half-close)
//   FF 's'         what the current client has so far goes out now
// Anything else after FF is skipped. Unless the command line says otherwise, inputs may grow to
// 256 KiB and conversation.dict is used.

#include <QCoreApplication>

#include "mail_service/connection_slot.h"
#include "mail_service/conversation.h"
#include "mail_service/maildrop.h"
#include "mail_service/pop3_interpreter.h"
#include "mail_service/socket_channel.h"
#include "platform/winsock.h"
#include "socket_layer/flow_limits.h"
#include "socket_layer/mod_falquor.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#ifndef DRENNIK_FUZZ_DICT
#define DRENNIK_FUZZ_DICT ""
#endif

namespace {

namespace fs = std::filesystem;
using namespace std::string_view_literals;

// The longest request line the server accepts, without its CR LF.
constexpr std::size_t kMaxLine = flow::kMaxLine;

// Bounds of one input, so that every input stays fast whatever it holds.
constexpr std::size_t kMaxExpansion = 2 * 1024 * 1024;  // bytes all runs of an input add
constexpr int kMaxRetrievals = 8;                       // RETR lines per client
constexpr int kRoundLimit = 100000;                     // event-loop rounds of one settle
constexpr std::size_t kMaxDeferred = 64;                // appends waiting for a stream's end

// When set, a RETR of a name that now holds another file than at login must be refused; while
// unset, it may also send the file the name now holds.
constexpr bool kSameFileRequired = true;

// DRENNIK_FUZZ_VERBOSE=1 prints each request, its acceptable replies and each maildrop change:
// for reading what a reproducer does.
bool verbose = false;

[[noreturn]] void Broken(const std::string& what) {
    std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
    std::abort();
}

// Bytes for a diagnostic: printable ASCII as is, the rest escaped, long texts cut.
std::string Show(std::string_view bytes, std::size_t limit = 96) {
    std::string out = "\"";
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b >= 32 && b < 127 && b != '"' && b != '\\') {
            out += static_cast<char>(b);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", b);
            out += escaped;
        }
    }
    out += bytes.size() > limit ? "\"... (" + std::to_string(bytes.size()) + " bytes)" : "\"";
    return out;
}

// ---- The reference: what a message looks like in a RETR reply ----

// Every line of the file (ended by CR LF, a lone CR, a lone LF or the end of the file) with
// CR LF, a "." added in front of a line that begins with ".", then the final ".".
std::string ReplyBody(std::string_view content) {
    std::string out;
    out.reserve(content.size() + content.size() / 16 + 8);
    std::size_t i = 0;
    while (i < content.size()) {
        std::size_t end = i;
        while (end < content.size() && content[end] != '\r' && content[end] != '\n') {
            ++end;
        }
        if (content[i] == '.') {
            out += '.';
        }
        out.append(content, i, end - i);
        out += "\r\n";
        if (end == content.size()) {
            break;
        }
        const bool crlf =
            content[end] == '\r' && end + 1 < content.size() && content[end + 1] == '\n';
        i = end + (crlf ? 2 : 1);
    }
    out += ".\r\n";
    return out;
}

// The same for TOP: the header, the blank line that ends it, then `lines` lines of the body; a
// message without a blank line is all header.
std::string TopBody(std::string_view content, std::int64_t lines) {
    const std::string whole = ReplyBody(content);
    const std::string_view body(whole.data(), whole.size() - 3);  // without the final "."
    std::size_t at = 0;
    bool inBody = false;
    while (at < body.size() && !(inBody && lines == 0)) {
        const std::size_t end = body.find("\r\n", at);
        if (inBody) {
            --lines;
        } else {
            inBody = end == at;
        }
        at = end + 2;
    }
    return std::string(body.substr(0, at)) + ".\r\n";
}

// ---- The maildrop model ----

enum class Kind { Regular, Symlink, Fifo };

// One inode under a name of the maildrop.
struct FileObject {
    Kind kind = Kind::Regular;
    std::shared_ptr<const std::string> base;      // the content it was made with
    std::shared_ptr<const std::string> baseBody;  // its reply body, worked out in advance
    std::string appended;
    std::uint64_t inode = 0;
    // Bumped by everything that moves the inode's change time (content, links, renames): the
    // server may then take it for another file.
    int changes = 0;
    std::shared_ptr<const std::string> body;  // reply body of the whole content, once asked

    std::int64_t Size() const { return static_cast<std::int64_t>(base->size() + appended.size()); }
    // What LIST counts: the reply body without the "." put in front of lines and the final ".".
    std::int64_t SentSize() {
        const std::string& sent = *Body();
        std::int64_t stuffed = 0;
        for (std::size_t at = 0; at < sent.size(); at = sent.find("\r\n", at) + 2) {
            stuffed += sent.compare(at, 2, "..") == 0 ? 1 : 0;
        }
        return static_cast<std::int64_t>(sent.size()) - stuffed - 3;
    }
    const std::shared_ptr<const std::string>& Body() {
        if (!body) {
            body = appended.empty() && baseBody
                       ? baseBody
                       : std::make_shared<const std::string>(ReplyBody(*base + appended));
        }
        return body;
    }
};
using Object = std::shared_ptr<FileObject>;

void Changed(const Object& object) {
    if (object) {
        ++object->changes;
    }
}

// The names the maildrop changes touch, in byte order; "09" starts out absent, ".h" is never
// listed, "08" starts as a link out of the root.
constexpr std::array<const char*, 10> kNames = {"01", "02", "03", "04", "05",
                                                "06", "07", "08", "09", ".h"};
constexpr const char* kTemp = ".fuzz-new";  // where new files are made before they get a name
constexpr std::string_view kCanary = "\x7f\x01 canary outside the maildrop root \x01\x7f";

struct Pristine {
    Kind kind = Kind::Regular;
    bool present = false;
    std::shared_ptr<const std::string> content;
    std::shared_ptr<const std::string> body;
};

struct World {
    fs::path base;
    fs::path root;
    fs::path canary;
    int folder = -1;  // the user's maildrop folder, held open
    std::array<Pristine, kNames.size()> pristine;
    std::array<Object, kNames.size()> current;  // what each name holds now
    std::array<Object, kNames.size()> clean;    // what it held when last restored
    modFalquor* falquor = nullptr;
    std::shared_ptr<const std::string> empty = std::make_shared<const std::string>();
    bool parked = false;  // the big messages are under hidden names for this input
    std::array<Object, 3> parkedObjects;
};

World& world() {
    static World w;
    return w;
}

void Must(bool ok, const std::string& what) {
    if (!ok) {
        Broken(what + ": " + std::strerror(errno));
    }
}

void WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        Must(n > 0, "writing a maildrop file");
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::uint64_t InodeOf(const char* name) {
    struct stat st {};
    Must(::fstatat(world().folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0, "stat of a new file");
    return st.st_ino;
}

void ClearTemp() {
    ::unlinkat(world().folder, kTemp, 0);
}

// Makes a new inode under the temporary name.
Object MakeObject(Kind kind, std::shared_ptr<const std::string> content,
                  std::shared_ptr<const std::string> body) {
    World& w = world();
    ClearTemp();
    switch (kind) {
        case Kind::Regular: {
            const int fd = ::openat(w.folder, kTemp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            Must(fd != -1, "creating a maildrop file");
            WriteAll(fd, *content);
            ::close(fd);
            break;
        }
        case Kind::Symlink:
            Must(::symlinkat(w.canary.c_str(), w.folder, kTemp) == 0, "creating a link");
            content = w.empty;
            break;
        case Kind::Fifo:
            Must(::mkfifoat(w.folder, kTemp, 0600) == 0, "creating a pipe");
            content = w.empty;
            break;
    }
    auto object = std::make_shared<FileObject>();
    object->kind = kind;
    object->base = std::move(content);
    object->baseBody = std::move(body);
    object->inode = InodeOf(kTemp);
    return object;
}

// Moves the temporary name over name `i`, which then holds `object`.
void Place(std::size_t i, Object object) {
    World& w = world();
    Must(::renameat(w.folder, kTemp, w.folder, kNames[i]) == 0, "renaming a maildrop file");
    Changed(w.current[i]);  // it lost a link
    w.current[i] = std::move(object);
}

// Puts name `i` back as it was made at start-up, if anything changed it.
void Restore(std::size_t i) {
    World& w = world();
    const Pristine& p = w.pristine[i];
    const Object& now = w.current[i];
    if (p.present ? now && now == w.clean[i] && now->appended.empty() : !now) {
        return;
    }
    if (!p.present) {
        if (w.current[i]) {
            Must(::unlinkat(w.folder, kNames[i], 0) == 0, "removing a maildrop file");
            Changed(w.current[i]);
            w.current[i] = nullptr;
        }
        w.clean[i] = nullptr;
        return;
    }
    Object object = MakeObject(p.kind, p.content, p.body);
    Place(i, object);
    w.clean[i] = std::move(object);
}

// The maildrop on disk must be what the model says: every name holding its inode (same type,
// same size), and nothing else in the folder.
void VerifyMaildrop(const char* when) {
    World& w = world();
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        struct stat st {};
        const bool there = ::fstatat(w.folder, kNames[i], &st, AT_SYMLINK_NOFOLLOW) == 0;
        const Object& o = w.current[i];
        const std::string where = std::string(when) + ", name " + kNames[i];
        if (!o) {
            if (there) {
                Broken("a file appeared in the maildrop " + where);
            }
            continue;
        }
        if (!there) {
            Broken("a maildrop file vanished " + where);
        }
        if (st.st_ino != o->inode) {
            Broken("a maildrop name holds another file " + where);
        }
        const bool typeOk = o->kind == Kind::Regular   ? S_ISREG(st.st_mode)
                            : o->kind == Kind::Symlink ? S_ISLNK(st.st_mode)
                                                       : S_ISFIFO(st.st_mode);
        if (!typeOk || (o->kind == Kind::Regular && st.st_size != o->Size())) {
            Broken("a maildrop file changed " + where);
        }
    }
}

// The messages that cost most to stream (04, 05, 06) are there for one input in four; the others
// run on a maildrop of small messages. Renames, so nothing is copied either way.
constexpr std::array<std::size_t, 3> kBigMessages = {3, 4, 5};

std::string Parked(std::size_t i) {
    return std::string(".") + kNames[i];
}

void ParkBigMessages() {
    World& w = world();
    for (std::size_t k = 0; k < kBigMessages.size(); ++k) {
        const std::size_t i = kBigMessages[k];
        Must(::renameat(w.folder, kNames[i], w.folder, Parked(i).c_str()) == 0, "parking");
        Changed(w.current[i]);
        w.parkedObjects[k] = std::move(w.current[i]);
        w.current[i] = nullptr;
    }
    w.parked = true;
}

void UnparkBigMessages() {
    World& w = world();
    if (!w.parked) {
        return;
    }
    for (std::size_t k = 0; k < kBigMessages.size(); ++k) {
        const std::size_t i = kBigMessages[k];
        if (w.current[i]) {
            Must(::unlinkat(w.folder, kNames[i], 0) == 0, "removing a maildrop file");
            Changed(w.current[i]);
        }
        Must(::renameat(w.folder, Parked(i).c_str(), w.folder, kNames[i]) == 0, "unparking");
        // A restore during the input made a new clean file under the name; the parked one is
        // the clean one again.
        w.current[i] = w.clean[i] = std::move(w.parkedObjects[k]);
        Changed(w.current[i]);
    }
    w.parked = false;
}

void VerifyFolderHoldsOnlyModelled() {
    World& w = world();
    const int fd = ::dup(w.folder);
    Must(fd != -1, "dup of the maildrop folder");
    DIR* dir = ::fdopendir(fd);
    Must(dir != nullptr, "listing the maildrop folder");
    ::rewinddir(dir);
    while (const dirent* d = ::readdir(dir)) {
        const std::string_view name = d->d_name;
        if (name == "." || name == ".." || name == "sub") {
            continue;
        }
        if (w.parked && std::any_of(kBigMessages.begin(), kBigMessages.end(),
                                    [name](std::size_t i) { return name == Parked(i); })) {
            continue;
        }
        const auto known = std::find(kNames.begin(), kNames.end(), name);
        if (known == kNames.end()) {
            Broken("an unknown file in the maildrop: " + Show(name));
        }
    }
    ::closedir(dir);
}

// ---- The replies a client expects ----

// One acceptable reply: a head and, for a message, its body.
struct Reply {
    std::string head;
    std::shared_ptr<const std::string> body;

    std::size_t size() const { return head.size() + (body ? body->size() : 0); }
    // Whether `bytes` are this reply's bytes from `offset` on.
    bool Matches(std::size_t offset, std::string_view bytes) const {
        if (offset < head.size()) {
            const std::size_t n = std::min(bytes.size(), head.size() - offset);
            if (head.compare(offset, n, bytes.substr(0, n)) != 0) {
                return false;
            }
            bytes.remove_prefix(n);
            offset += n;
        }
        return bytes.empty() ||
               (body && body->compare(offset - head.size(), bytes.size(), bytes) == 0);
    }
    char At(std::size_t offset) const {
        return offset < head.size() ? head[offset] : (*body)[offset - head.size()];
    }
    std::string Excerpt(std::size_t offset) const {
        std::string all = head.substr(std::min(offset, head.size()));
        if (body) {
            const std::size_t from = offset > head.size() ? offset - head.size() : 0;
            all += body->substr(from, 96);
        }
        return Show(all);
    }
};

// The replies one request may get; exactly one of them must come.
struct Expected {
    std::string request;
    std::vector<Reply> replies;
};

class ReplyChecker {
public:
    explicit ReplyChecker(int client) : client_(client) {}

    void Expect(Expected expected) { queue_.push_back(std::move(expected)); }
    bool Done() const { return queue_.empty(); }
    const std::string& Waiting() const { return queue_.front().request; }

    void Feed(std::string_view bytes) {
        while (!bytes.empty()) {
            if (queue_.empty()) {
                Fail("reply bytes that answer no request", bytes);
            }
            const Expected& e = queue_.front();
            if (offset_ == 0) {
                live_.assign(e.replies.size(), true);
            }
            std::size_t take = bytes.size();
            for (std::size_t i = 0; i < e.replies.size(); ++i) {
                if (live_[i]) {
                    take = std::min(take, e.replies[i].size() - offset_);
                }
            }
            bool any = false;
            for (std::size_t i = 0; i < e.replies.size(); ++i) {
                if (live_[i] && !e.replies[i].Matches(offset_, bytes.substr(0, take))) {
                    live_[i] = false;
                }
                any = any || live_[i];
            }
            if (!any) {
                Fail("a reply that is not the expected one", bytes);
            }
            offset_ += take;
            bytes.remove_prefix(take);
            for (std::size_t i = 0; i < e.replies.size(); ++i) {
                if (live_[i] && e.replies[i].size() == offset_) {
                    queue_.pop_front();
                    offset_ = 0;
                    break;
                }
            }
        }
    }

private:
    [[noreturn]] void Fail(const char* what, std::string_view received) const {
        std::string text = std::string(what) + " (client " + std::to_string(client_) + ")";
        if (!queue_.empty()) {
            const Expected& e = queue_.front();
            text += "\n  request " + Show(e.request) + ", at reply byte " + std::to_string(offset_);
            for (const Reply& r : e.replies) {
                // Shown from a little before the first byte that differs.
                std::size_t same = 0;
                while (same < received.size() && offset_ + same < r.size() &&
                       r.At(offset_ + same) == received[same]) {
                    ++same;
                }
                const std::size_t from = same > 16 ? same - 16 : 0;
                text += "\n  expected, from reply byte " + std::to_string(offset_ + from) + ": " +
                        r.Excerpt(offset_ + from) + " (" + std::to_string(r.size()) + " bytes)";
                text += "\n  received " + Show(received.substr(from));
            }
            Broken(text);
        }
        text += "\n  received " + Show(received);
        Broken(text);
    }

    int client_;
    std::deque<Expected> queue_;
    std::vector<bool> live_;  // which replies of the front request still match
    std::size_t offset_ = 0;  // bytes of the front request's reply received so far
};

// ---- Requests as the server reads them ----
// The model reads request lines, numbers and user names with code of its own, never with the
// server's: a fault in the server's reading then shows as a disagreement instead of being
// shared by both sides.

// Without the blanks (code 32, nothing else) at either edge.
std::string_view Unblanked(std::string_view text) {
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.back() == ' ') {
        text.remove_suffix(1);
    }
    return text;
}

struct Request {
    std::string word;
    std::string argument;
};

// The command word is the line's first four bytes, upper-cased, without the blanks that end it.
// The argument begins at the sixth byte, the fifth skipped whatever it is; after a word of three
// letters (TOP) it begins right after the word.
Request Parse(std::string_view received) {
    const std::string_view line = Unblanked(received);
    Request r;
    for (const char ch : line.substr(0, 4)) {
        r.word += ch >= 'a' && ch <= 'z' ? static_cast<char>(ch - ('a' - 'A')) : ch;
    }
    r.word = std::string(Unblanked(r.word));
    const std::size_t start = r.word.size() == 3 ? 3 : 5;
    if (line.size() > start) {
        r.argument = std::string(Unblanked(line.substr(start)));
    }
    return r;
}

// A number as an argument holds it: blanks (code 32 only) anywhere do not count; then an
// optional sign, digits, and an optional "." with more digits, read up to the first byte that
// cannot continue that. Kept as its digit strings, so it is exact at any length.
struct Decimal {
    bool negative = false;
    std::string whole;     // without leading zeros: "" is zero
    std::string fraction;  // without trailing zeros: "" is none
};

Decimal ReadDecimal(std::string_view text) {
    std::string s;
    for (const char ch : text) {
        if (ch != ' ') {
            s += ch;
        }
    }
    Decimal d;
    std::size_t at = 0;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        d.negative = s[0] == '-';
        at = 1;
    }
    auto digitsEnd = [&s](std::size_t from) {
        return std::min(s.find_first_not_of("0123456789", from), s.size());
    };
    const std::size_t wholeEnd = digitsEnd(at);
    d.whole = s.substr(at, wholeEnd - at);
    if (wholeEnd < s.size() && s[wholeEnd] == '.') {
        d.fraction = s.substr(wholeEnd + 1, digitsEnd(wholeEnd + 1) - wholeEnd - 1);
    }
    d.whole.erase(0, std::min(d.whole.find_first_not_of('0'), d.whole.size()));
    d.fraction.resize(d.fraction.find_last_not_of('0') + 1);  // npos + 1 is 0
    return d;
}

// A whole number of more digits than this is beyond every count the model deals in (messages, a
// message's lines); one of this many still fits a 64-bit integer.
constexpr std::size_t kManyDigits = 18;

// `whole + fraction` rounded to the nearest integer, halves to the even neighbour, where
// `whole` is any integer. Fractions without trailing zeros compare with "5" as their values
// compare with one half.
std::int64_t RoundedHalfEven(std::int64_t whole, const std::string& fraction) {
    const int half = fraction.compare("5");
    const bool up = half > 0 || (half == 0 && whole % 2 != 0);
    return up ? whole + 1 : whole;
}

// The message an argument names among `count`, as an index. The number rounded is the message
// number; DELE has always taken one off the number before rounding, so a half there goes to the
// number's odd neighbour. A number written with a minus is at most zero, and names no message
// either way.
std::optional<std::size_t> MessageNamed(std::string_view argument, std::size_t count, bool dele) {
    const Decimal d = ReadDecimal(argument);
    if (d.negative || d.whole.size() > kManyDigits) {
        return std::nullopt;
    }
    const std::int64_t whole = d.whole.empty() ? 0 : std::stoll(d.whole);
    const std::int64_t index =
        dele ? RoundedHalfEven(whole - 1, d.fraction) : RoundedHalfEven(whole, d.fraction) - 1;
    if (index < 0 || index >= static_cast<std::int64_t>(count)) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(index);
}

// TOP's line count, from a text that begins with a digit: its number rounded as a message
// number is; a count too big to hold takes every line.
std::int64_t LineCount(std::string_view text) {
    const Decimal d = ReadDecimal(text);
    if (d.whole.size() > kManyDigits) {
        return std::numeric_limits<std::int64_t>::max();
    }
    return RoundedHalfEven(d.whole.empty() ? 0 : std::stoll(d.whole), d.fraction);
}

// A user name that can stand as one folder right under the root: 1 to 255 bytes; not hidden,
// which also keeps out "." and ".."; no control byte, no path separator, drive colon or
// wildcard.
bool FolderNameFits(std::string_view name) {
    static const std::string kNever = [] {
        std::string bytes = "/\\:*?\x7f";
        for (int b = 0; b < 32; ++b) {
            bytes += static_cast<char>(b);
        }
        return bytes;
    }();
    return !name.empty() && name.size() <= 255 && name[0] != '.' &&
           name.find_first_of(kNever) == std::string_view::npos;
}

// A message's unique-id as UIDL shows it. A name of 1 to 70 bytes from '!' to '~' that does not
// begin with '=' is its own id; Build makes sure every name the model lists is one, so the
// hashed form of other names never arises here.
bool OwnUniqueId(std::string_view name) {
    return !name.empty() && name.size() <= 70 && name[0] != '=' &&
           std::all_of(name.begin(), name.end(), [](char ch) { return ch >= '!' && ch <= '~'; });
}

// The model's reading against values worked out by hand, so that a fault of the model's own is
// not taken for the server's. Message 0 is none.
void CheckModelReading() {
    struct Case {
        std::string_view argument;
        int message;      // for LIST, RETR, UIDL and TOP
        int deleMessage;  // for DELE
    };
    static constexpr Case kCases[] = {
        {"12", 12, 12},
        {"1 2", 12, 12},
        {"  7  ", 7, 7},
        {"3abc", 3, 3},
        {"EVE 1", 0, 0},
        {"", 0, 0},
        {"x", 0, 0},
        {"-4", 0, 0},
        {"+ 4", 4, 4},
        {"--4", 0, 0},
        {"1e3", 1, 1},
        {"0x10", 0, 0},
        {"1\t2", 1, 1},
        {"1.2.3", 1, 1},
        {"2.5", 2, 3},
        {"3.5", 4, 3},
        {"1 . 5", 2, 1},
        {".5", 0, 1},
        {"0.51", 1, 1},
        {"0.3", 0, 0},
        {"-0.4", 0, 0},
        {"-1.5", 0, 0},
        {"2.5000000000000000000001", 3, 3},
        {"2.4999999999999999999999", 2, 2},
        {"00000000000000000000019", 19, 19},
        {"18446744073709551617", 0, 0},
        {"20.5", 20, 0},
        {"21", 0, 0},
    };
    for (const Case& k : kCases) {
        for (const bool dele : {false, true}) {
            const auto index = MessageNamed(k.argument, 20, dele);
            if ((index ? static_cast<int>(*index) + 1 : 0) != (dele ? k.deleMessage : k.message)) {
                Broken("the model reads " + Show(k.argument) + (dele ? " for DELE" : "") +
                       " wrong among 20 messages");
            }
        }
    }
    if (LineCount("2.5") != 2 || LineCount("3.5") != 4 || LineCount("1 0") != 10 ||
        LineCount("9223372036854775808") != std::numeric_limits<std::int64_t>::max()) {
        Broken("the model reads TOP's line counts wrong");
    }
    const std::string longest(255, 'a');
    for (const std::string_view good :
         {"u"sv, "a.b"sv, "x y"sv, "bob."sv, "\xe9l\xe9"sv, std::string_view(longest)}) {
        if (!FolderNameFits(good)) {
            Broken("the model refuses the user name " + Show(good));
        }
    }
    const std::string tooLong(256, 'a');
    for (const std::string_view bad :
         {""sv, "."sv, ".."sv, ".h"sv, "../x"sv, "a/b"sv, "a\\b"sv, "c:x"sv, "*"sv, "?"sv, "a\tb"sv,
          "\x7f"sv, "a\0b"sv, std::string_view(tooLong)}) {
        if (FolderNameFits(bad)) {
            Broken("the model takes the user name " + Show(bad));
        }
    }
}

// ---- Clients ----

struct Client;
void OnRequest(Client& c, const std::string& line);
void OnLineTooLong(Client& c);

// The conversation's channel: the socket layer's, reporting each request the server takes and
// each end of input it sees, before the server acts on them.
class ModelChannel final : public Pop3Channel {
public:
    ModelChannel(modFalquor& falquor, int socket, Client& client)
        : inner_(falquor, socket), client_(client) {}

    bool ReceiveLine(std::string& line) override {
        if (!inner_.ReceiveLine(line)) {
            return false;
        }
        OnRequest(client_, line);
        return true;
    }
    InputEnd InputState() const override {
        const InputEnd end = inner_.InputState();
        if (end == InputEnd::LineTooLong) {
            OnLineTooLong(client_);
        }
        return end;
    }
    bool SendLine(std::string_view text) override { return inner_.SendLine(text); }
    bool SendLines(std::string_view lines) override { return inner_.SendLines(lines); }
    bool SendPart(std::string_view bytes) override { return inner_.SendPart(bytes); }
    bool Congested() const override { return inner_.Congested(); }
    void Close() override { inner_.Close(); }

private:
    SocketChannel inner_;
    Client& client_;
};

struct Entry {
    std::size_t name;  // index in kNames
    Object object;     // what the name held at login
    int changes = 0;   // the object's changes at login
    std::int64_t size = 0;
    bool marked = false;
};

struct Client {
    explicit Client(int n) : number(n), replies(n) {}

    int number;
    int server = -1;
    int peer = -1;
    bool closed = false;     // the layer has closed the connection
    bool peerEnded = false;  // the client has read the end of the replies
    bool reading = true;
    bool ending = false;  // sends nothing more; half-closes once the outbox is out
    bool shut = false;
    bool capped = false;  // reached a per-input bound: sends nothing more
    std::string outbox;
    std::size_t outboxSent = 0;
    std::uint64_t received = 0;
    std::uint64_t sent = 0;
    std::string canaryCarry;

    // What the client sent, as the lines the server must take in order.
    std::deque<std::string> lines;
    std::string tail;  // after the last CR LF
    int retrievals = 0;
    bool tooLong = false;  // the server has refused an overlong line
    // After refusing a line the server reads and drops input for a few seconds, then resets the
    // connection; an input that ran that long may see the reset.
    bool reset = false;

    // The session as the server must see it.
    std::string user;
    bool loggedIn = false;
    std::string owner;
    std::vector<Entry> entries;
    ReplyChecker replies;

    QObject context;
    ConnectionSlot slot;
    std::unique_ptr<ModelChannel> channel;
    std::unique_ptr<Conversation> conversation;
};

// A QUIT's deletion, observed once the QUIT has run.
struct Removal {
    enum class Rule { Remove, Keep, Either };
    std::size_t name;
    Object object;
    // Remove: the file has not changed since login. Keep: another file holds the name. Either:
    // the same inode changed since login, which an identity may not see within a clock tick.
    Rule rule;
};

// Counts the events the socket layer and the conversations receive. A round of the event loop
// in which none arrived and no byte moved has left nothing behind to run.
class ActivityCounter final : public QObject {
public:
    std::uint64_t events = 0;

protected:
    bool eventFilter(QObject*, QEvent*) override {
        ++events;
        return false;
    }
};

ActivityCounter* activity = nullptr;

struct Session {
    explicit Session(const std::string& root) : store(root) {}

    MaildropStore store;
    // The second client connects when the input first switches to it.
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<std::pair<std::size_t, std::string_view>> deferred;  // appends
    std::vector<Removal> removals;
    bool quitRan = false;
    std::uint64_t requests = 0;
};

Session* session = nullptr;

bool AnyStreaming() {
    for (const auto& c : session->clients) {
        if (!c->closed && c->conversation->Streaming()) {
            return true;
        }
    }
    return false;
}

// Takes into the model what the last QUIT did: a file it removed is gone, one it had to remove
// must be gone; and nothing else in the maildrop may have changed.
void ObserveQuit() {
    if (!session->quitRan) {
        return;
    }
    World& w = world();
    for (const Removal& r : session->removals) {
        struct stat st {};
        if (::fstatat(w.folder, kNames[r.name], &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT || w.current[r.name] != r.object) {
                Broken(std::string("QUIT left the maildrop in an unknown state at ") +
                       kNames[r.name]);
            }
            if (r.rule == Removal::Rule::Keep) {
                Broken(std::string("QUIT deleted a file that came under a marked message's name "
                                   "after login: ") +
                       kNames[r.name]);
            }
            Changed(r.object);
            w.current[r.name] = nullptr;
        } else if (r.rule == Removal::Rule::Remove) {
            Broken(std::string("QUIT kept a marked message that had not changed since login: ") +
                   kNames[r.name]);
        }
    }
    session->removals.clear();
    session->quitRan = false;
    VerifyMaildrop("after QUIT");
}

// ---- The model's answers ----

void Scan(Client& c) {
    World& w = world();
    c.loggedIn = true;
    c.owner = c.user;
    c.entries.clear();
    if (c.owner != "u") {
        return;  // no such folder, or "link", which leads out of the root and is never followed
    }
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        const Object& o = w.current[i];
        if (o && o->kind == Kind::Regular && kNames[i][0] != '.') {
            c.entries.push_back(Entry{i, o, o->changes, o->SentSize(), false});
        }
    }
}

Expected Answer(Client& c, const std::string& line) {
    const Request r = Parse(line);
    Expected e;
    e.request = line;
    auto one = [&e](std::string text) { e.replies.push_back(Reply{text + "\r\n", nullptr}); };
    const std::string count = c.loggedIn ? std::to_string(c.entries.size()) : "";
    std::int64_t total = 0;
    for (const Entry& entry : c.entries) {
        total += entry.size;
    }
    if (r.word == "USER") {
        c.user = r.argument;
        one("+OK");
    } else if (r.word == "PASS") {
        if (r.argument != c.user || !FolderNameFits(c.user)) {
            one("-ERR [AUTH] invalid user name or password");
        } else {
            one("+OK");
            Scan(c);
        }
    } else if (r.word == "STAT") {
        one("+OK " + count + " " + (c.loggedIn ? std::to_string(total) : ""));
    } else if (r.word == "LIST" && r.argument.empty()) {
        std::string text = "+OK " + count + " Messages\r\n";
        for (std::size_t i = 0; i < c.entries.size(); ++i) {
            text += std::to_string(i + 1) + " " + std::to_string(c.entries[i].size) + "\r\n";
        }
        e.replies.push_back(Reply{text + ".\r\n", nullptr});
    } else if (r.word == "LIST") {
        const auto n = MessageNamed(r.argument, c.entries.size(), false);
        if (!n) {
            one("-ERR no such message");
        } else {
            one("+OK " + std::to_string(*n + 1) + " " + std::to_string(c.entries[*n].size));
        }
    } else if (r.word == "RETR") {
        const auto n = MessageNamed(r.argument, c.entries.size(), false);
        if (!n) {
            one("-ERR no such message");
            return e;
        }
        const Entry& entry = c.entries[*n];
        const Object& now = world().current[entry.name];
        if (!now || now->kind != Kind::Regular) {
            one("-ERR message unavailable");  // gone, or a link or pipe in its place
            return e;
        }
        const bool unchanged = now == entry.object && now->changes == entry.changes;
        if (!unchanged) {
            one("-ERR message unavailable");
        }
        // Another inode under the name is another file, however its identity is kept (an inode
        // number handed out again may look like the old file).
        if (unchanged || !kSameFileRequired || now->inode == entry.object->inode) {
            e.replies.push_back(Reply{"+OK \r\n", now->Body()});
        }
    } else if (r.word == "DELE") {
        const auto n = MessageNamed(r.argument, c.entries.size(), true);
        if (!n) {
            one("-ERR no such message");
        } else {
            c.entries[*n].marked = true;
            one("+OK");
        }
    } else if (r.word == "NOOP") {
        one("+OK");
    } else if (r.word == "RSET") {
        for (Entry& entry : c.entries) {
            entry.marked = false;
        }
        one("+OK");
    } else if (r.word == "CAPA") {
        e.replies.push_back(
            Reply{"+OK\r\nTOP\r\nUSER\r\nSASL PLAIN "
                  "LOGIN\r\nUIDL\r\nPIPELINING\r\nRESP-CODES\r\nAUTH-RESP-CODE\r\nIMPLEMENTATION "
                  "Drennik\r\n.\r\n",
                  nullptr});
    } else if (r.word == "UIDL" && r.argument.empty()) {
        std::string text = "+OK\r\n";  // every listed name is its own unique-id
        for (std::size_t i = 0; i < c.entries.size(); ++i) {
            text += std::to_string(i + 1) + " " + kNames[c.entries[i].name] + "\r\n";
        }
        e.replies.push_back(Reply{text + ".\r\n", nullptr});
    } else if (r.word == "UIDL") {
        const auto n = MessageNamed(r.argument, c.entries.size(), false);
        if (!n) {
            one("-ERR no such message");
        } else {
            one("+OK " + std::to_string(*n + 1) + " " + kNames[c.entries[*n].name]);
        }
    } else if (r.word == "TOP") {
        const std::size_t blank = r.argument.find(' ');
        const std::string count = blank == std::string::npos
                                      ? std::string()
                                      : std::string(Unblanked(r.argument.substr(blank)));
        const auto n = MessageNamed(r.argument.substr(0, blank), c.entries.size(), false);
        if (!n) {
            one("-ERR no such message");
            return e;
        }
        if (count.empty() || !(count[0] == '-' || (count[0] >= '0' && count[0] <= '9'))) {
            one("-ERR TOP needs a message number and a line count");
            return e;
        }
        if (count[0] == '-') {
            one("-ERR the line count must not be negative");
            return e;
        }
        const std::int64_t lines = LineCount(count);
        const Entry& entry = c.entries[*n];
        const Object& now = world().current[entry.name];
        if (!now || now->kind != Kind::Regular) {
            one("-ERR message unavailable");
            return e;
        }
        const bool unchanged = now == entry.object && now->changes == entry.changes;
        if (!unchanged) {
            one("-ERR message unavailable");
        }
        if (unchanged || now->inode == entry.object->inode) {
            e.replies.push_back(Reply{"+OK \r\n", std::make_shared<const std::string>(
                                                      TopBody(*now->base + now->appended, lines))});
        }
    } else if (r.word == "QUIT") {
        one("+OK ");
        std::vector<const FileObject*> seen;
        for (const Entry& entry : c.entries) {
            const Object& now = world().current[entry.name];
            if (!entry.marked || !now || now->kind != Kind::Regular) {
                continue;
            }
            // A second name of a file already removed by this QUIT sees the file changed.
            const bool again = std::find(seen.begin(), seen.end(), now.get()) != seen.end();
            seen.push_back(now.get());
            Removal::Rule rule = Removal::Rule::Either;
            if (now == entry.object && now->changes == entry.changes && !again) {
                rule = Removal::Rule::Remove;
            } else if (now->inode != entry.object->inode) {
                rule = Removal::Rule::Keep;
            }
            session->removals.push_back(Removal{entry.name, now, rule});
        }
        session->quitRan = true;
    } else {
        std::string word;
        for (const char ch : r.word) {
            word += ch == '\r' || ch == '\n' ? '?' : ch;
        }
        one("-ERR " + word + " not supported");
    }
    return e;
}

bool TailOverlong(const Client& c) {
    std::size_t length = c.tail.size();
    if (length > 0 && c.tail.back() == '\r') {
        --length;  // its LF may still come
    }
    return length > kMaxLine;
}

void OnRequest(Client& c, const std::string& line) {
    ObserveQuit();
    ++session->requests;
    if (c.lines.empty() || c.lines.front() != line) {
        Broken(
            "client " + std::to_string(c.number) + ": the server read a line the client " +
            "did not send: " + Show(line) +
            (c.lines.empty() ? std::string(", none was due") : ", due: " + Show(c.lines.front())));
    }
    if (line.size() > kMaxLine) {
        Broken("the server took a line over the limit: " + std::to_string(line.size()) + " bytes");
    }
    c.lines.pop_front();
    Expected expected = Answer(c, line);
    if (verbose) {
        std::fprintf(stderr, "client %d: %s\n", c.number, Show(line).c_str());
        for (const Reply& r : expected.replies) {
            std::fprintf(stderr, "    may answer %s\n", r.Excerpt(0).c_str());
        }
    }
    c.replies.Expect(std::move(expected));
}

void OnLineTooLong(Client& c) {
    if (c.tooLong) {
        return;
    }
    c.tooLong = true;
    const bool due = c.lines.empty() ? TailOverlong(c) : c.lines.front().size() > kMaxLine;
    if (!due) {
        Broken("client " + std::to_string(c.number) + ": line too long, but the next line is " +
               std::to_string(c.lines.empty() ? c.tail.size() : c.lines.front().size()) + " bytes");
    }
    c.replies.Expect(Expected{"(line too long)", {Reply{"-ERR line too long\r\n", nullptr}}});
}

// ---- The client's side of the sockets ----

// The next CR LF at or after `from`. Searched for CR alone: a search for both would be reported
// to the fuzzer as a comparison of the input.
std::size_t FindLineEnd(const std::string& s, std::size_t from) {
    while (from + 1 < s.size()) {
        const void* cr = std::memchr(s.data() + from, '\r', s.size() - from - 1);
        if (cr == nullptr) {
            break;
        }
        const auto at = static_cast<std::size_t>(static_cast<const char*>(cr) - s.data());
        if (s[at + 1] == '\n') {
            return at;
        }
        from = at + 1;
    }
    return std::string::npos;
}

// Takes bytes into the client's stream, as far as the per-input bounds allow, and keeps the
// client's own account of the lines it has sent.
void Send(Client& c, std::string_view bytes) {
    if (c.ending || c.capped || bytes.empty()) {
        return;
    }
    const std::size_t before = c.tail.size();
    std::size_t from = before > 0 ? before - 1 : 0;  // a CR at its end may pair with an LF
    std::size_t accepted = bytes.size();
    c.tail.append(bytes);
    std::size_t start = 0;
    while (true) {
        const std::size_t end = FindLineEnd(c.tail, from);
        if (end == std::string::npos) {
            break;
        }
        std::string line = c.tail.substr(start, end - start);
        const std::string word = line.size() <= kMaxLine ? Parse(line).word : std::string();
        // Past the retrievals allowed, and at an AUTH line (the model does not follow SASL
        // exchanges), the line is left unfinished and nothing more is sent.
        if (word == "AUTH" || (word == "RETR" && c.retrievals == kMaxRetrievals)) {
            accepted = end >= before ? end - before : 0;
            c.tail.resize(before + accepted);
            c.capped = true;
            break;
        }
        c.retrievals += word == "RETR" ? 1 : 0;
        c.lines.push_back(std::move(line));
        start = end + 2;
        from = start;
    }
    c.tail.erase(0, start);
    c.outbox.append(bytes.substr(0, accepted));
}

// The canary's content must never be served, whichever reads it was split across.
void CheckCanary(Client& c, std::string_view bytes) {
    const std::size_t keep = kCanary.size() - 1;
    std::string edge = c.canaryCarry;
    edge.append(bytes.substr(0, keep));
    if (edge.find(kCanary) != std::string::npos || bytes.find(kCanary) != std::string::npos) {
        Broken("a reply carries the content of a file outside the maildrop root");
    }
    edge = c.canaryCarry;
    edge.append(bytes.substr(bytes.size() > keep ? bytes.size() - keep : 0));
    c.canaryCarry = edge.substr(edge.size() > keep ? edge.size() - keep : 0);
}

bool Drain(Client& c) {
    if (!c.reading || c.peerEnded) {
        return false;
    }
    static char buffer[64 * 1024];
    bool progress = false;
    for (int reads = 0; reads < 64; ++reads) {
        const ssize_t n = ::recv(c.peer, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            const std::string_view bytes(buffer, static_cast<std::size_t>(n));
            CheckCanary(c, bytes);
            c.replies.Feed(bytes);
            c.received += static_cast<std::uint64_t>(n);
            progress = true;
            continue;
        }
        if (n == 0) {
            c.peerEnded = true;
            return true;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return progress;
        }
        if (errno == ECONNRESET && c.tooLong) {
            c.reset = true;
            c.peerEnded = true;
            return true;
        }
        Broken("client " + std::to_string(c.number) +
               ": reading the replies failed: " + std::strerror(errno));
    }
    return progress;
}

void Flush(Client& c) {
    while (c.outboxSent < c.outbox.size()) {
        const ssize_t n = ::send(c.peer, c.outbox.data() + c.outboxSent,
                                 c.outbox.size() - c.outboxSent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            c.outboxSent += static_cast<std::size_t>(n);
            c.sent += static_cast<std::uint64_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET) && c.tooLong) {
            c.reset = true;
            c.capped = true;
            break;
        }
        Broken(
            "client " + std::to_string(c.number) +
            ": the server stopped taking input before the client ended: " + std::strerror(errno));
    }
    c.outbox.clear();
    c.outboxSent = 0;
    if (c.ending && !c.shut) {
        ::shutdown(c.peer, SHUT_WR);
        c.shut = true;
    }
}

void CheckSlot(const ConnectionSlot& slot) {
    const auto n = static_cast<std::size_t>(slot.MessageCount());
    if (slot.marks.size() != n) {
        Broken("the snapshot's lists are not parallel");
    }
    if (slot.totalCount >= 0 && slot.totalCount != static_cast<std::int64_t>(n)) {
        Broken("the count is not the length of the lists");
    }
}

// ---- Changes to the maildrop ----

constexpr std::array<std::string_view, 8> kAppends = {"\r\n", "\n",  "\r",   ".dot\r\n",
                                                      "tail", "\nX", "..\r", "more\r\nmail\n"};
constexpr std::array<std::string_view, 8> kContents = {
    "", "new\r\n", ".\r\n", "a\rb\nc\r\n", "no end", "..\n.\r", "\r\n\r\n", "x\r"};

void Append(std::size_t i, std::string_view chunk) {
    World& w = world();
    Object& o = w.current[i];
    if (!o) {
        Place(i, MakeObject(Kind::Regular, std::make_shared<const std::string>(chunk), nullptr));
        return;
    }
    if (o->kind != Kind::Regular) {
        return;  // never through a link, never into a pipe
    }
    const int fd = ::openat(w.folder, kNames[i], O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    Must(fd != -1, "opening a maildrop file to append");
    WriteAll(fd, chunk);
    ::close(fd);
    o->appended.append(chunk);
    o->body.reset();
    ++o->changes;
}

// One change between two pieces of client input: a kind (a % 8), a name (a / 8 % 10, in kNames),
// and a choice (b): what to append or write, or the other name of a rename or link. Kinds:
// 0 append, 1 write a new small file, 2 write a new file with a start-up message's content,
// 3 rename, 4 hard link, 5 delete, 6 a link out of the root (b even) or a pipe in its place,
// 7 restore as at start-up.
void Mutate(std::uint8_t a, std::uint8_t b) {
    World& w = world();
    ObserveQuit();
    const std::size_t src = static_cast<std::size_t>(a >> 3) % kNames.size();
    const std::size_t dst = b % kNames.size();
    if (verbose) {
        std::fprintf(stderr, "change %d to %s, choice %d\n", a & 7, kNames[src], b);
    }
    Object& from = w.current[src];
    switch (a & 7) {
        case 0:
            // An open message keeps its inode, so the content it sends would depend on when
            // the append lands; it lands once no reply streams.
            if (AnyStreaming()) {
                if (session->deferred.size() < kMaxDeferred) {
                    session->deferred.emplace_back(src, kAppends[b % kAppends.size()]);
                }
            } else {
                Append(src, kAppends[b % kAppends.size()]);
            }
            break;
        case 1:
            Place(src, MakeObject(Kind::Regular,
                                  std::make_shared<const std::string>(kContents[b % 8]), nullptr));
            break;
        case 2: {
            const Pristine& p = w.pristine[b % 7];  // one of the regular files 01 to 07
            Place(src, MakeObject(Kind::Regular, p.content, p.body));
            break;
        }
        case 3:
            // Two names of one inode: rename does nothing, so neither does the model.
            if (from && src != dst && from != w.current[dst]) {
                Must(::renameat(w.folder, kNames[src], w.folder, kNames[dst]) == 0, "rename");
                Changed(w.current[dst]);
                ++from->changes;
                w.current[dst] = std::move(from);
                from = nullptr;
            }
            break;
        case 4:
            if (from && src != dst && from != w.current[dst]) {
                ClearTemp();
                Must(::linkat(w.folder, kNames[src], w.folder, kTemp, 0) == 0, "link");
                ++from->changes;
                Place(dst, from);
            }
            break;
        case 5:
            if (from) {
                Must(::unlinkat(w.folder, kNames[src], 0) == 0, "unlink");
                ++from->changes;
                from = nullptr;
            }
            break;
        case 6:
            Place(src, MakeObject(b % 2 == 0 ? Kind::Symlink : Kind::Fifo, nullptr, nullptr));
            break;
        case 7:
            Restore(src);
            break;
    }
}

void ApplyDeferred() {
    if (session->deferred.empty() || AnyStreaming()) {
        return;
    }
    for (const auto& [name, chunk] : session->deferred) {
        Append(name, chunk);
    }
    session->deferred.clear();
}

// ---- Running the event loop ----

std::vector<std::uint64_t> Progress() {
    std::vector<std::uint64_t> p{activity->events, session->requests, session->deferred.size()};
    for (const auto& c : session->clients) {
        p.insert(p.end(),
                 {c->received, c->sent, std::uint64_t{c->closed}, std::uint64_t{c->peerEnded}});
    }
    return p;
}

void Round() {
    QCoreApplication::processEvents();
    ObserveQuit();
    for (const auto& c : session->clients) {
        Drain(*c);
        Flush(*c);
        CheckSlot(c->slot);
    }
    ApplyDeferred();
}

// Runs the event loop until nothing moves: every reply out that the clients let out, every
// request served that the server may read.
void Settle() {
    std::vector<std::uint64_t> last = Progress();
    for (int round = 0; round < kRoundLimit; ++round) {
        Round();
        std::vector<std::uint64_t> now = Progress();
        if (now == last) {
            return;
        }
        last.swap(now);
    }
    Broken("the connections never came to rest");
}

void Open(Client& c, bool tinyBuffers) {
    int ends[2];
    Must(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "socketpair");
    if (tinyBuffers) {
        // The kernel's smallest buffers: output backs up after a few KiB.
        const int size = 1;
        for (const int fd : ends) {
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
    }
    c.server = ends[0];
    c.peer = ends[1];
    c.context.installEventFilter(activity);
    ::fcntl(c.server, F_SETFL, ::fcntl(c.server, F_GETFL) | O_NONBLOCK);  // as accepted
    platform::AdoptSocketForTesting(c.server);
    modFalquor& falquor = *world().falquor;
    c.channel = std::make_unique<ModelChannel>(falquor, c.server, c);
    Client* client = &c;
    c.conversation = std::make_unique<Conversation>(c.slot, *c.channel, session->store, [client] {
        QMetaObject::invokeMethod(
            &client->context, [client] { client->conversation->Serve(); }, Qt::QueuedConnection);
    });
    falquor.Attach(c.server,
                   ConnectionHooks{&c.context, [client] { client->conversation->Serve(); },
                                   [client](CloseReason) { client->closed = true; }});
    c.replies.Expect(Expected{"(greeting)", {Reply{"+OK Drennik here\r\n", nullptr}}});
    Greet(*c.channel);
    if (!falquor.Watch(c.server)) {
        Broken("the layer could not watch a connection");
    }
}

// The clients read everything, send what they still hold, end their output and wait for the
// server to close.
void Finish() {
    for (const auto& c : session->clients) {
        c->reading = true;
        c->ending = true;
        Flush(*c);
    }
    for (int step = 0; step < 64; ++step) {
        Settle();
        bool done = true;
        for (const auto& c : session->clients) {
            Flush(*c);
            done = done && c->closed && c->peerEnded;
        }
        if (done) {
            return;
        }
    }
    for (const auto& c : session->clients) {
        if (!c->closed) {
            Broken("client " + std::to_string(c->number) +
                   ": the connection was not closed after the client's end" +
                   (c->replies.Done()
                        ? std::string()
                        : ", waiting for the reply to " + Show(c->replies.Waiting())));
        }
    }
    Broken("a client did not see the end of its replies");
}

void CheckEnd() {
    ObserveQuit();
    for (const auto& c : session->clients) {
        const std::string who = "client " + std::to_string(c->number);
        if (!c->replies.Done() && !c->reset) {
            Broken(who + ": no reply, or only part of one, to " + Show(c->replies.Waiting()));
        }
        if (!c->tooLong && !c->lines.empty()) {
            Broken(who + ": a request was never served: " + Show(c->lines.front()));
        }
        if (!c->tooLong && TailOverlong(*c)) {
            Broken(who + ": an overlong last line got no answer");
        }
    }
    World& w = world();
    std::string canary;
    if (const int fd = ::open(w.canary.c_str(), O_RDONLY | O_CLOEXEC); fd != -1) {
        char buffer[256];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
            canary.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(fd);
    }
    if (canary != kCanary) {
        Broken("a file outside the maildrop root was touched");
    }
    VerifyMaildrop("at the end of an input");
    VerifyFolderHoldsOnlyModelled();
    if (w.falquor->OpenConnections() != 0) {
        Broken("the layer still holds a connection");
    }
    if (w.falquor->trace().size() > 30000) {
        Broken("the trace outgrew its limit");
    }
}

// ---- The maildrop's files ----

constexpr std::size_t kBlock = flow::kStreamBlock;

// Short lines of mixed lengths and line ends, some beginning with ".", from a fixed sequence,
// up to exactly `offset`.
void ShortLinesTo(std::string& s, std::size_t offset, std::uint64_t& state) {
    constexpr std::size_t kLengths[] = {0, 1, 2, 5, 10, 40, 78, 200};
    constexpr std::string_view kEnds[] = {"\r\n", "\n", "\r", "\r\n"};
    while (true) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const auto r = static_cast<std::uint32_t>(state >> 33);
        const std::size_t length = kLengths[r % 8];
        if (s.size() + length + 2 > offset) {
            break;
        }
        const std::size_t from = s.size();
        s.append(length, static_cast<char>('a' + r / 8 % 26));
        if (length > 0 && r / 256 % 8 == 0) {
            s[from] = '.';
        }
        s += kEnds[r / 2048 % 4];
    }
    s.append(offset - s.size(), 'f');
}

// Long lines in pieces (more than the longest held line is held when a block ends): one beginning
// with "." whose CR LF is split across a block edge, one whose lone CR ends a block and is
// followed by a "." line. The first starts the file, so after one block exactly the longest held
// line is held.
std::string LongLines() {
    static_assert(flow::kLongestHeldLine == kBlock, "lines are laid out for this relation");
    std::string s = ".";
    s.append(3 * kBlock - 1 - s.size(), 'A');
    s += "\r\n";
    s.append(6 * kBlock - 1 - s.size(), 'B');
    s += "\r.C\r\n";
    s.append(1000, 'D');  // the last line, without a line end
    return s;
}

// More than one batch of short lines with line ends at the block edges: CR LF split across the
// first, a lone CR before a "." line at the second, a line held across the third whose CR LF
// is split across the fourth, and a CR as the last byte, at the fifth.
std::string BlockEdges() {
    std::uint64_t state = 0x2545f4914f6cdd1dULL;
    std::string s;
    ShortLinesTo(s, kBlock - 1, state);
    s += "\r\n.dot after the edge\r\n";
    ShortLinesTo(s, 2 * kBlock - 1, state);
    s += "\r.after a lone CR at the edge\n";
    ShortLinesTo(s, 3 * kBlock - 100, state);
    s.append(4 * kBlock - 1 - s.size(), 'c');
    s += "\r\n";
    ShortLinesTo(s, 5 * kBlock - 1, state);
    s += '\r';
    return s;
}

// One line without a line end, exactly two blocks: it goes out in pieces and nothing of it is
// held when the file ends.
std::string PiecesToTheEnd() {
    return std::string(2 * kBlock, 'p');
}

void Build() {
    World& w = world();
    auto regular = [](std::string content) {
        Pristine p;
        p.present = true;
        p.content = std::make_shared<const std::string>(std::move(content));
        p.body = std::make_shared<const std::string>(ReplyBody(*p.content));
        return p;
    };
    w.pristine[0] = regular("Subject: a\r\n\r\nbody\r\n.\r\n..two\r\n");
    w.pristine[1] = regular("lf\nonly\ncr\rmix\r\n.last");
    w.pristine[2] = regular("");
    w.pristine[3] = regular(LongLines());
    w.pristine[4] = regular(BlockEdges());
    w.pristine[5] = regular(PiecesToTheEnd());
    w.pristine[6] = regular(".\r\r\n.\n..\r\n\r\r\n\n.x\r");
    w.pristine[7].present = true;
    w.pristine[7].kind = Kind::Symlink;
    w.pristine[7].content = w.empty;
    w.pristine[8].present = false;
    w.pristine[9] = regular("hidden\r\n");
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        if (kNames[i][0] != '.' && !OwnUniqueId(kNames[i])) {
            Broken(std::string("the model lists a name that is not its own unique-id: ") +
                   kNames[i]);
        }
        Restore(i);
    }
}

// libFuzzer reads its flags after this initialisation, so defaults added here count as given.
void AddDefaultFlags(int* argc, char*** argv) {
    static std::vector<char*> args;
    static std::string maxLen = "-max_len=262144";
    static std::string dict = std::string("-dict=") + DRENNIK_FUZZ_DICT;
    bool hasMaxLen = false;
    bool hasDict = false;
    for (int i = 0; i < *argc; ++i) {
        hasMaxLen = hasMaxLen || std::strncmp((*argv)[i], "-max_len=", 9) == 0;
        hasDict = hasDict || std::strncmp((*argv)[i], "-dict=", 6) == 0;
    }
    args.assign(*argv, *argv + *argc);
    if (!hasMaxLen) {
        args.push_back(maxLen.data());
    }
    if (!hasDict && fs::exists(DRENNIK_FUZZ_DICT)) {
        args.push_back(dict.data());
    }
    args.push_back(nullptr);
    *argc = static_cast<int>(args.size()) - 1;
    *argv = args.data();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    AddDefaultFlags(argc, argv);
    verbose = std::getenv("DRENNIK_FUZZ_VERBOSE") != nullptr;
    static QCoreApplication app(*argc, *argv);
    World& w = world();
    // In memory where the system offers it: every input creates, renames and removes files, which
    // a journaling file system makes several times slower.
    const fs::path scratch =
        ::access("/dev/shm", W_OK) == 0 ? fs::path("/dev/shm") : fs::temp_directory_path();
    // Left behind by runs that ended in a crash, where no exit handler runs.
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(scratch, error)) {
        const std::string name = entry.path().filename().string();
        const int pid = name.rfind("drennik-fuzz-", 0) == 0 ? std::atoi(name.c_str() + 13) : 0;
        if (pid > 0 && ::kill(pid, 0) == -1 && errno == ESRCH) {
            fs::remove_all(entry.path(), error);
        }
    }
    w.base = scratch / ("drennik-fuzz-" + std::to_string(::getpid()));
    w.root = w.base / "root";
    fs::create_directories(w.root / "u" / "sub");
    fs::create_directories(w.base / "outside");
    w.canary = w.base / "outside" / "canary";
    {
        const int fd = ::open(w.canary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        Must(fd != -1, "creating the canary");
        WriteAll(fd, kCanary);
        ::close(fd);
    }
    fs::create_symlink(w.base / "outside", w.root / "link");
    w.folder = ::open((w.root / "u").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    Must(w.folder != -1, "opening the maildrop folder");
    CheckModelReading();
    Build();
    platform::WSAData data;
    platform::WSAStartup(0x0101, &data);
    w.falquor = new modFalquor();
    activity = new ActivityCounter();
    w.falquor->installEventFilter(activity);
    std::atexit([] { fs::remove_all(world().base); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint64_t seed = 0x9e3779b97f4a7c15ULL;
    const std::size_t seedBytes = size < 8 ? size : 8;
    for (std::size_t i = 0; i < seedBytes; ++i) {
        seed = seed * 131 + data[i];
    }
    const std::uint8_t* in = data + seedBytes;
    const std::uint8_t* const end = data + size;
    auto nextCut = [&seed] {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return 1 + static_cast<std::size_t>(seed >> 33) % 64;
    };

    Session s(world().root.string());
    session = &s;
    if ((seed >> 24 & 3) != 0) {
        ParkBigMessages();
    }
    const std::uint64_t buffers = seed >> 20;
    auto client = [&s, buffers](int n) {
        while (static_cast<int>(s.clients.size()) <= n) {
            const int next = static_cast<int>(s.clients.size());
            s.clients.push_back(std::make_unique<Client>(next));
            Open(*s.clients.back(), (buffers >> next & 7) == 0);
            Settle();
        }
        return s.clients[n].get();
    };
    Client* current = client(0);
    std::string piece;
    std::size_t cut = nextCut();
    std::size_t expansion = 0;
    auto deliver = [&] {
        if (!piece.empty()) {
            Send(*current, piece);
            piece.clear();
            Flush(*current);
            Settle();
        }
        cut = nextCut();
    };
    auto take = [&](std::uint8_t& b) {
        if (in == end) {
            return false;
        }
        b = *in++;
        return true;
    };
    auto run = [&](std::uint8_t b, std::size_t n) {
        if (expansion + n <= kMaxExpansion) {
            expansion += n;
            piece.append(n, static_cast<char>(b));
            deliver();
        }
    };
    std::uint8_t byte;
    std::uint8_t a;
    std::uint8_t b;
    std::uint8_t c;
    std::uint8_t d;
    while (take(byte)) {
        if (byte != 0xFF) {
            piece += static_cast<char>(byte);
            if (piece.size() >= cut) {
                deliver();
            }
            continue;
        }
        if (!take(a)) {
            break;
        }
        switch (a) {
            case 0xFF:
                piece += '\xff';
                if (piece.size() >= cut) {
                    deliver();
                }
                break;
            case 'c':
                deliver();
                current = client(current->number ^ 1);
                break;
            case 'r':
                if (take(b) && take(c) && take(d)) {
                    run(b, (std::size_t{c} << 8 | d) + 1);
                }
                break;
            case 'R':
                if (take(b) && take(c)) {
                    run(b, kMaxLine + c - 128);
                }
                break;
            case 'L':
                if (take(b) && take(c) && take(d)) {
                    run(b, ((std::size_t{c} << 8 | d) + 1) * 4);
                }
                break;
            case 'm':
                if (take(b) && take(c)) {
                    deliver();
                    Mutate(b, c);
                }
                break;
            case 'p':
                deliver();
                current->reading = !current->reading;
                break;
            case 'x':
                deliver();
                current->ending = true;
                Flush(*current);
                break;
            case 's':
                deliver();
                break;
            default:
                break;
        }
    }
    deliver();
    Finish();
    CheckEnd();

    for (const auto& c : s.clients) {
        ::close(c->peer);
    }
    s.clients.clear();
    session = nullptr;
    // What the event loop would run next: posted passes, notifiers left to delete. Without this
    // they would pile up across inputs.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    UnparkBigMessages();
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        Restore(i);
    }
    // What the next input starts from; a fault here would show only in a later input.
    VerifyMaildrop("after restoring");
    return 0;
}
