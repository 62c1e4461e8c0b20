#pragma once
// The body of a multi-line reply, produced a piece at a time while the connection drains, so
// memory per connection stays bounded whatever the reply's size.

#include "mail_service/pop3_channel.h"

#include <cstddef>

class ReplyStream {
public:
    // More: call again when the connection has room. Waiting: the stream itself arranges the
    // next call once what it waits for has come.
    enum class Step { More, Waiting, Done, Failed };

    virtual ~ReplyStream() = default;
    // Sends, through the reply family, until the channel is congested, about `budget` bytes
    // have been produced, or the reply is complete (Done: its final "." is sent). Failed: the
    // source could not be read or a send failed; the reply is cut short, nothing more is read
    // for it, and the connection must be closed so the client does not take it as whole.
    virtual Step Pump(Pop3Channel& out, std::size_t budget) = 0;
};
