#pragma once
// What OpenSSL's error queue of this thread says went wrong, for a message or the trace.

#include <openssl/err.h>

#include <string>

namespace tls {

// The first queued error (the cause; later ones are consequences), or `fallback` when the
// queue is empty. Empties the queue, so one failure is never reported as part of the next.
inline std::string TakeErrorText(const char* fallback) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return fallback;
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

}  // namespace tls
