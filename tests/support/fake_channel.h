#pragma once
// A POP3 channel in memory: request lines go in, reply bytes come out, congestion on demand.

#include "mail_service/pop3_channel.h"

#include <cstddef>
#include <deque>
#include <string>

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

    bool ReceiveLine(std::string& line) override {
        if (input.empty()) {
            return false;
        }
        line = input.front();
        input.pop_front();
        return true;
    }
    InputEnd InputState() const override { return input.empty() ? end : InputEnd::None; }
    void SendLine(std::string_view text) override {
        output.append(text);
        output.append("\r\n");
    }
    void SendLines(std::string_view lines) override { output.append(lines); }
    void SendPart(std::string_view bytes) override { output.append(bytes); }
    bool Congested() const override { return output.size() - drained >= congestAt; }
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
};
