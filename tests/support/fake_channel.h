#pragma once
// A POP3 channel in memory: request lines go in, reply bytes come out, congestion on demand,
// file spans if wanted, and sends that fail from a chosen byte on.

#include "mail_service/pop3_channel.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class FakeChannel : public Pop3Channel {
public:
    std::deque<std::string> input;
    InputEnd end = InputEnd::None;
    std::string output;
    bool closed = false;
    // Congested while this many output bytes have not been taken by Drain.
    std::size_t congestAt = static_cast<std::size_t>(-1);
    std::size_t drained = 0;
    bool tlsAvailable = false;
    bool encrypted = false;
    // Takes file spans, reading them from the file into the output; their lengths are kept.
    bool spans = false;
    std::vector<std::int64_t> spanLengths;
    // The connection fails at this output byte: sends fail from there on, each counted, and
    // so is every look at the channel after the first failure.
    std::size_t failAt = static_cast<std::size_t>(-1);
    int failedSends = 0;
    mutable int usedAfterFailure = 0;
    // Lines the channel was told to trace masked.
    int hiddenLines = 0;

    bool ReceiveLine(std::string& line) override {
        if (input.empty()) {
            return false;
        }
        line = input.front();
        input.pop_front();
        return true;
    }
    void HideNextLine() override { ++hiddenLines; }
    InputEnd InputState() const override { return input.empty() ? end : InputEnd::None; }
    bool SendLine(std::string_view text) override { return Put(std::string(text) + "\r\n"); }
    bool SendLines(std::string_view lines) override { return Put(lines); }
    bool SendPart(std::string_view bytes) override { return Put(bytes); }
    bool SendFileSpan(int fd, std::int64_t offset, std::int64_t length) override {
        if (!spans) {
            ADD_FAILURE() << "a file span on a channel that cannot send one";
            return false;
        }
        spanLengths.push_back(length);
        std::string bytes(static_cast<std::size_t>(length), '\0');
        if (::pread(fd, bytes.data(), bytes.size(), offset) != length) {
            ADD_FAILURE() << "a span past the end of its file";
        }
        if (!(output.empty() || output.ends_with('\n')) || !bytes.ends_with("\r\n")) {
            ADD_FAILURE() << "a span that is not whole lines";
        }
        return Put(bytes);
    }
    // Borrowed lines (where spans are taken) go out as their pieces joined; counted.
    int borrowedCalls = 0;
    bool SendBorrowedLines(std::span<const std::string_view> pieces,
                           const std::shared_ptr<const void>& keep) override {
        ++borrowedCalls;
        return Pop3Channel::SendBorrowedLines(pieces, keep);
    }
    bool CanSendFile() const override { return spans; }
    bool Congested() const override {
        usedAfterFailure += failedSends > 0 ? 1 : 0;
        return output.size() - drained >= congestAt;
    }
    void Close() override { closed = true; }
    bool CanStartTls() const override { return tlsAvailable; }
    bool Encrypted() const override { return encrypted; }
    void StartTls() override { encrypted = true; }

    void Drain() { drained = output.size(); }
    // Takes the output so far.
    std::string Take() {
        std::string taken;
        taken.swap(output);
        drained = 0;
        return taken;
    }

private:
    // What lies before failAt goes out; a send that reaches it fails.
    bool Put(std::string_view bytes) {
        usedAfterFailure += failedSends > 0 ? 1 : 0;
        const std::size_t room = output.size() < failAt ? failAt - output.size() : 0;
        output.append(bytes.substr(0, room));
        if (bytes.size() > room) {
            ++failedSends;
            return false;
        }
        return true;
    }
};
