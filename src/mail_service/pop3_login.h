#pragma once
// Logging in: USER and PASS, SASL AUTH (PLAIN and LOGIN) with its continuation lines, the
// password check that answers them at once or when it is done, and the maildrop a login takes.

#include "mail_service/connection_slot.h"
#include "mail_service/pop3_interpreter.h"

#include <string_view>

// Whether passwords are real (checked against a file), so that secrets are masked.
bool ChecksPasswords(const Pop3Session& s);
// Whether a login may be tried on this connection: not in clear where TLS is required.
bool LoginAllowed(const Pop3Session& s);

void User(Pop3Session& s, std::string_view argument);
void Pass(Pop3Session& s, std::string_view argument);
// AUTH mechanism [initial-response]; without a mechanism, the list of them.
void Auth(Pop3Session& s, std::string_view argument);
// One client response of an AUTH exchange, from a line of its own.
void AnswerSasl(Pop3Session& s, SaslStep step, std::string_view response);
