#pragma once
// Signals become calls on the event loop, where the orderly shutdown and a reload can run:
// SIGINT and SIGTERM stop, SIGHUP reloads. Both travel through one pipe that the handler writes
// a byte to, so nothing but that write happens inside the handler.

#include <functional>

void OnTerminationSignal(std::function<void()> handler);
void OnReloadSignal(std::function<void()> handler);
