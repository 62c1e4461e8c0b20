#include "app/signals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>
#include <csignal>

namespace {

int pipeEnds[2] = {-1, -1};
std::function<void()> onTermination;
std::function<void()> onReload;

// The signal's number is the byte, so the loop knows which came.
void Notify(int number) {
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const auto written = ::write(pipeEnds[1], &byte, 1);
}

// Several signals waiting are handled once each kind; a stop wins over a reload.
void Dispatch() {
    bool stop = false;
    bool reload = false;
    char bytes[16];
    for (ssize_t n; (n = ::read(pipeEnds[0], bytes, sizeof bytes)) > 0;) {
        for (ssize_t i = 0; i < n; ++i) {
            stop |= bytes[i] == SIGINT || bytes[i] == SIGTERM;
            reload |= bytes[i] == SIGHUP;
        }
    }
    if (stop && onTermination) {
        onTermination();
    } else if (reload && onReload) {
        onReload();
    }
}

void Catch(int number) {
    if (pipeEnds[0] < 0) {
        if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
            return;
        }
        auto* notifier =
            new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, QCoreApplication::instance());
        QObject::connect(notifier, &QSocketNotifier::activated, notifier, Dispatch);
    }
    struct sigaction action {};
    action.sa_handler = Notify;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(number, &action, nullptr);
}

}  // namespace

void OnTerminationSignal(std::function<void()> handler) {
    onTermination = std::move(handler);
    Catch(SIGINT);
    Catch(SIGTERM);
}

void OnReloadSignal(std::function<void()> handler) {
    onReload = std::move(handler);
    Catch(SIGHUP);
}
