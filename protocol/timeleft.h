#pragma once

#include "corvane_export.h"

#include <QString>

#include <array>
#include <optional>

namespace corvane {

// Estimates the time a transfer still needs from the latest speed samples (whole KiB per
// second, as SpeedRecord reports them): their moving average, so one slow or fast tick does
// not make the estimate jump.
class CORVANE_EXPORT TimeLeft
{
public:
    static constexpr int Window = 8; // samples averaged: the last four seconds

    void addSample(int kibPerSecond);
    void clear();
    // Seconds for the remaining bytes at the average speed (rounded up); nothing before the
    // first sample or while the average is 0.
    std::optional<qint64> seconds(qint64 remainingBytes) const;
    // "--", "m:ss" or "h:mm:ss".
    static QString format(std::optional<qint64> seconds);

private:
    std::array<int, Window> m_samples{};
    int m_count = 0;
    int m_next = 0;
};

} // namespace corvane
