#include "app/responsiveness_probe.h"

#include <algorithm>

ResponsivenessProbe::ResponsivenessProbe(QObject* parent) : QObject(parent) {
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &ResponsivenessProbe::Tick);
    due_ = std::chrono::steady_clock::now() + kPeriod;
    timer_.start(kPeriod);
}

void ResponsivenessProbe::Tick() {
    const auto due = due_;
    due_ = std::max(due_ + kPeriod, std::chrono::steady_clock::now());
    // Measured from when the click was due, so a timer held up by a busy loop counts too.
    QMetaObject::invokeMethod(
        this,
        [this, due] {
            const std::chrono::duration<double, std::milli> waited =
                std::chrono::steady_clock::now() - due;
            waitsMs_.push_back(waited.count());
        },
        Qt::QueuedConnection);
}

QString ResponsivenessProbe::Summary() const {
    std::vector<double> sorted = waitsMs_;
    std::sort(sorted.begin(), sorted.end());
    const double worst = sorted.empty() ? 0 : sorted.back();
    const double p99 = sorted.empty() ? 0 : sorted[sorted.size() * 99 / 100];
    return QStringLiteral("clicks=%1 worst_ms=%2 p99_ms=%3")
        .arg(sorted.size())
        .arg(worst, 0, 'f', 1)
        .arg(p99, 0, 'f', 1);
}
