#pragma once
// The one way a POP3 reply leaves: a single line, the lines of a multi-line reply the server
// makes (CAPA, LIST, UIDL), the lines of a message file (RETR, TOP), and the "." that ends a
// multi-line reply. This family owns the CR LF at every line end, the "." put in front of a
// line that begins with one, and a failed send: each call returns false once the channel has
// failed, and the caller then sends nothing more of that reply.

#include "mail_service/pop3_channel.h"
#include "platform/mapped_file.h"
#include "socket_layer/flow_limits.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// One reply line; CR LF is added.
bool SendReplyLine(Pop3Channel& out, std::string_view text);

// The lines of a multi-line reply the server makes itself, gathered and handed on in batches.
class ReplyLines {
public:
    // Adds one line: a "." in front if it begins with one, CR LF after it.
    void Add(std::string_view line);
    // Bytes gathered and not yet handed on.
    std::size_t Pending() const { return bytes_.size(); }
    // Hands the lines gathered so far to the channel.
    bool Send(Pop3Channel& out);
    // Hands on the rest and the "." that ends the reply.
    bool End(Pop3Channel& out);

private:
    std::string bytes_;
};

// A message file's text as the lines of a RETR or TOP reply, taken a block at a time so that
// memory stays bounded whatever the message's size. A line ends at CR LF, a lone CR or a lone
// LF and goes out with CR LF; a line beginning with "." gets one more "." in front. Runs of
// lines that need neither change go out as the file holds them: copied, or, where the channel
// can send from the file and a run is long enough to be worth a system call of its own, as a
// span of the file that the channel sends itself.
class MessageLines {
public:
    // No span is shorter: a short run, or the short rest of a run handed on in part, is copied.
    static constexpr std::int64_t kShortestSpan = 64 * 1024;
    // Longer lines go out in pieces rather than being held whole.
    static constexpr std::size_t kLongestHeldLine = flow::kLongestHeldLine;

    // Lets runs of unchanged lines go as spans of `fd`, the open message file. The channel
    // reads a span after the scan that chose it, so this relies on messages never being
    // rewritten in place (a delivery renames a finished file into the maildrop).
    void SendSpansOf(int fd) { fd_ = fd; }
    // Ends the reply after the header, the blank line that ends it and `lines` lines of the
    // body (TOP). A message without a blank line is all header. Every line is then copied.
    void LimitBody(std::int64_t lines) { bodyLeft_ = lines; }
    // Takes the next `text` of the message, which the file holds from `offset`; may hand
    // gathered lines on. False once a send has failed.
    bool Take(std::string_view text, std::int64_t offset, Pop3Channel& out);
    // The whole text has been taken: a last line without a line end gets one.
    bool EndOfText(Pop3Channel& out);
    // TOP has all the lines it wants: take no more text.
    bool Complete() const { return complete_; }
    // Bytes gathered or spanned and not yet handed on; spans count as their length, as they
    // do in the channel's queue.
    std::size_t Pending() const { return batch_.size() + static_cast<std::size_t>(spanLength_); }
    // Hands on what is gathered.
    bool Send(Pop3Channel& out);
    // Hands on the rest and the "." that ends the reply.
    bool End(Pop3Channel& out);

private:
    // Bytes that are not part of a run follow: a pending span must go before them.
    void BeforeCopy(Pop3Channel& out);
    void EndLine(std::string_view tail, Pop3Channel& out);
    void StartRun(std::int64_t at);
    // The next bytes of the run, which the file holds from `from`.
    void AddToRun(std::string_view bytes, std::int64_t from);
    void EndRun();

    int fd_ = -1;
    bool failed_ = false;
    // Finished lines, then a span of the file: what goes out next, in that order.
    std::string batch_;
    std::int64_t spanFrom_ = 0;
    std::int64_t spanLength_ = 0;

    std::string carry_;           // the start of a line that continues in the next text
    std::int64_t carryFrom_ = 0;  // where the file holds it
    bool lineStarted_ = false;    // part of the current line has gone out already
    bool afterCR_ = false;        // the last text ended in CR: an LF next belongs to it

    // The run: consecutive lines that go out as the file holds them. Of its bytes up to
    // runTo_, those not yet handed on are in the batch from runCopied_ on (the file's bytes
    // from runCopiedFrom_), or, once spanning, in the span.
    bool inRun_ = false;
    bool spanning_ = false;
    std::size_t runCopied_ = 0;
    std::int64_t runCopiedFrom_ = 0;
    std::int64_t runTo_ = 0;

    // TOP: how many body lines are still to go, -1 for the whole message.
    std::int64_t bodyLeft_ = -1;
    bool inBody_ = false;    // the blank line after the header has gone out
    bool complete_ = false;  // everything the reply wants has gone out
};

// A message file mapped whole, as the lines of a RETR reply, where the channel can send from
// files: the same lines as MessageLines makes, handed on without copying them. Runs of
// unchanged lines go as pieces of the mapping (or, when long, as spans of the file), with
// the few bytes a change adds between them: a "." in front, CR LF for a lone CR or LF.
class MappedLines {
public:
    // `fd`: the open file mapped, for spans.
    MappedLines(std::shared_ptr<const platform::MappedFile> file, int fd)
        : file_(std::move(file)), fd_(fd) {}
    // Hands on the lines of about the next `amount` bytes of the file, and after the last the
    // "." that ends the reply. False once a send has failed or the file has shrunk.
    bool Next(Pop3Channel& out, std::size_t amount);
    bool Done() const { return at_ == file_->bytes().size() && ended_; }

private:
    // The unchanged bytes [from, to) of the mapping.
    bool AddRun(const char* from, const char* to, Pop3Channel& out);
    bool SendPieces(Pop3Channel& out);

    std::shared_ptr<const platform::MappedFile> file_;
    int fd_;
    std::size_t at_ = 0;  // where the next lines begin in the file
    bool ended_ = false;
    std::vector<std::string_view> pieces_;
};
