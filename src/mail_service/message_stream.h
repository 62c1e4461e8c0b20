#pragma once
// Streams one message file as a RETR or TOP reply: reads it a block at a time, while the
// connection has room, and hands each block to the reply family, which makes the lines.

#include "mail_service/reply_lines.h"
#include "mail_service/reply_stream.h"
#include "platform/file_system.h"
#include "socket_layer/flow_limits.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class MessageStream final : public ReplyStream {
public:
    static constexpr std::size_t kBlock = flow::kStreamBlock;
    // Finished lines are handed on in batches of about this size.
    static constexpr std::size_t kBatch = flow::kStreamBatch;
    // A whole message this large or larger is mapped and sent without copying, where the
    // connection can send from files; a smaller one costs less to read than to map.
    static constexpr std::int64_t kMapFrom = 256 * 1024;

    // Opens the message only if the name still holds the file the listing saw.
    bool Open(const platform::StoreFolder& folder, const std::string& name,
              const platform::FileIdentity& identity);
    // Ends the reply after the header, the blank line that ends it and `lines` lines of the
    // body (TOP). A message without a blank line is all header.
    void LimitBody(std::int64_t lines);
    // `budget` counts bytes read from the file. Failed: the file could not be read or a send
    // failed; nothing more is read.
    Step Pump(Pop3Channel& out, std::size_t budget) override;

private:
    Step PumpMapped(Pop3Channel& out, std::size_t budget);
    Step Finish(Pop3Channel& out);
    Step Fail();

    platform::MessageFile file_;
    std::vector<char> block_ = std::vector<char>(kBlock);
    std::int64_t size_ = 0;    // as listed
    std::int64_t offset_ = 0;  // where the next block starts in the file
    bool begun_ = false;
    bool limited_ = false;  // TOP: every line is counted, so copied
    MessageLines lines_;
    std::optional<MappedLines> mapped_;
};
