#pragma once
// A benchmark aid: every 50 ms it posts a call through the event loop and records how long the
// call waited to be handled, from the moment it was due. A server that blocks its loop (a long
// reply, a big listing, a window that paints too much) shows up as long waits.

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <vector>

class ResponsivenessProbe : public QObject {
public:
    static constexpr std::chrono::milliseconds kPeriod{50};

    explicit ResponsivenessProbe(QObject* parent = nullptr);
    // "clicks=N worst_ms=X p99_ms=Y"
    QString Summary() const;

private:
    void Tick();

    QTimer timer_;
    std::chrono::steady_clock::time_point due_;
    std::vector<double> waitsMs_;
};
