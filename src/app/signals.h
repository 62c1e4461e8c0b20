#pragma once
// SIGINT and SIGTERM become a call on the event loop, where the orderly shutdown can run.

#include <functional>

void OnTerminationSignal(std::function<void()> handler);
