#pragma once
// drennik deliver: the program as a mail delivery agent. Reads one message on standard input
// and stores it for each user named, then exits with a sysexits code. No window, no listener,
// no Qt application.

// `argc`/`argv` are what follows the word "deliver".
int RunDeliver(int argc, const char* const* argv);
