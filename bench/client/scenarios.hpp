// Entry points of the measured scenarios (see scenarios.cpp).
#pragma once

#include "args.hpp"

namespace bench {

int runRetr(const Args& a);        // --port --user --file [--msg --rcvbuf]
int runList(const Args& a);        // --port --user --count --size
int runSessions(const Args& a);    // --port --user --messages [--count --pid --extra-pid]
int runRetrReset(const Args& a);   // --port --pid --user --size [--settle-ms]
int runConcurrent(const Args& a);  // --port --root [--clients --user-prefix]
int runIdle(const Args& a);        // --port --pid --idle --user --messages [--count
                                   // --setup-ms]
int runSlowReader(const Args& a);  // --port --pid --user --file --side-user
                                   // --side-file --side-messages [--rate]

// Delivery over LMTP (lmtpscenarios.cpp); all take --port --size --store [--folder-suffix
// --domain]: messages for USER land in STORE/USER plus the suffix.
int runLmtpSeq(const Args& a);   // --user --count
int runLmtpPipe(const Args& a);  // --user --sessions [--per-session]
int runLmtpBig(const Args& a);   // --user
int runLmtpConc(const Args& a);  // --user-prefix --count (per sender) [--senders]
int runLmtpMem(const Args& a);   // --user --pid

}  // namespace bench
