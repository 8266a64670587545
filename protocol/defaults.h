#pragma once

namespace corvane {

// The ports a receiver listens on and a sender connects to unless its host sets others.
inline constexpr int DefaultInfoPort = 1700;
inline constexpr int DefaultBinaryPort = 3000;

// Bytes per send on the binary channel: the default and the largest a host may ask for. The
// sender queues up to four chunks, so the largest bounds what a transfer holds in memory.
inline constexpr int DefaultChunkSize = 4096;
inline constexpr int LargestChunkSize = 16 * 1024 * 1024;

} // namespace corvane
