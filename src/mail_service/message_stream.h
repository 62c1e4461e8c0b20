#pragma once
// Sends one message file as the lines of a RETR reply, a block at a time, so that memory stays
// bounded whatever the message's size. A line ends at CR LF, a lone CR or a lone LF and goes
// out with CR LF; a line beginning with "." gets one more "." in front. The file is closed
// before the final ".".

#include "mail_service/pop3_channel.h"
#include "platform/file_system.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class MessageStream {
public:
    static constexpr std::size_t kBlock = 64 * 1024;
    // Longer lines go out in pieces rather than being held whole.
    static constexpr std::size_t kLongestHeldLine = 64 * 1024;
    // Finished lines are handed on in batches of about this size.
    static constexpr std::size_t kBatch = 256 * 1024;

    enum class Step { More, Done, Failed };

    bool Open(const std::string& folder, const std::string& name);
    // Sends until the channel is congested, about `budget` bytes have been read, or the
    // message is complete (Done, "." sent). Failed: the file could not be read; the reply is
    // cut short and the connection must be closed so the client does not take it as whole.
    Step Pump(Pop3Channel& out, std::size_t budget);

private:
    void Consume(std::string_view block, Pop3Channel& out);
    void EndLine(std::string_view tail);
    void SendBatch(Pop3Channel& out);

    platform::MessageFile file_;
    std::vector<char> block_ = std::vector<char>(kBlock);
    std::string carry_;         // the start of a line that continues in the next block
    std::string batch_;         // finished lines, sent together once per block
    bool lineStarted_ = false;  // part of the current line has gone out already
    bool afterCR_ = false;      // the last block ended in CR: an LF next belongs to it
};
