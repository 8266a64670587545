#pragma once

#include <QtGlobal>

namespace corvane {

// How often both components sample their byte counters.
inline constexpr int SpeedSampleIntervalMs = 500;

// Whole kilobytes (of 1024 bytes) per second for the bytes counted in one 500 ms tick,
// rounded to the nearest integer with halves to the even neighbour.
int speedSample(qint64 bytesInTick);

} // namespace corvane
