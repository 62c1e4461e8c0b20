#pragma once
// Sends one message file as the lines of a RETR reply, a block at a time, so that memory stays
// bounded whatever the message's size. A line ends at CR LF, a lone CR or a lone LF and goes
// out with CR LF; a line beginning with "." gets one more "." in front. The file is closed
// before the final ".".

#include "mail_service/reply_stream.h"
#include "platform/file_system.h"
#include "socket_layer/flow_limits.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class MessageStream final : public ReplyStream {
public:
    static constexpr std::size_t kBlock = flow::kStreamBlock;
    // Longer lines go out in pieces rather than being held whole.
    static constexpr std::size_t kLongestHeldLine = flow::kLongestHeldLine;
    // Finished lines are handed on in batches of about this size.
    static constexpr std::size_t kBatch = flow::kStreamBatch;

    // Opens the message only if the name still holds the file the listing saw.
    bool Open(const platform::StoreFolder& folder, const std::string& name,
              const platform::FileIdentity& identity);
    // Ends the reply after the header, the blank line that ends it and `lines` lines of the
    // body (TOP). A message without a blank line is all header.
    void LimitBody(std::int64_t lines);
    // `budget` counts bytes read from the file.
    Step Pump(Pop3Channel& out, std::size_t budget) override;

private:
    void Consume(std::string_view block, Pop3Channel& out);
    void EndLine(std::string_view tail);
    void SendBatch(Pop3Channel& out);
    Step Finish(Pop3Channel& out);

    platform::MessageFile file_;
    std::vector<char> block_ = std::vector<char>(kBlock);
    std::string carry_;         // the start of a line that continues in the next block
    std::string batch_;         // finished lines, sent together once per block
    bool lineStarted_ = false;  // part of the current line has gone out already
    bool afterCR_ = false;      // the last block ended in CR: an LF next belongs to it
    // TOP: how many body lines are still to go, -1 for the whole message.
    std::int64_t bodyLeft_ = -1;
    bool inBody_ = false;    // the blank line after the header has gone out
    bool complete_ = false;  // everything the reply wants has gone out
};
