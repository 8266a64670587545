#include "protocol/speedsample.h"

#include <cmath>
#include <limits>

namespace corvane {

int speedSample(qint64 bytesInTick)
{
    // std::nearbyint rounds in the current mode, which is to-nearest-even unless changed.
    const double kilobytesPerSecond = std::nearbyint(double(bytesInTick) / 1024.0 * 2.0);
    constexpr double lowest = std::numeric_limits<int>::min();
    constexpr double highest = std::numeric_limits<int>::max();
    if (kilobytesPerSecond < lowest)
        return std::numeric_limits<int>::min();
    if (kilobytesPerSecond > highest)
        return std::numeric_limits<int>::max();
    return int(kilobytesPerSecond);
}

} // namespace corvane
