#pragma once
// What the simulator can log about each frame it sends, so that a benchmark can tell how long the
// client took to show it: a fingerprint of the frame's data and the moment its last byte left.

#include <cstdint>
#include <ctime>
#include <span>

namespace kestrel::camsim {

// FNV-1a over the frame's data: the bytes the client assembles behind the JPEG header.
inline std::uint64_t frameFingerprint(std::span<const std::uint8_t> data) {
    std::uint64_t hash = 0xCBF29CE484222325ULL;
    for (const std::uint8_t byte : data) {
        hash = (hash ^ byte) * 0x100000001B3ULL;
    }
    return hash;
}

// The system-wide monotonic clock in nanoseconds, the same in every process.
inline std::int64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace kestrel::camsim
