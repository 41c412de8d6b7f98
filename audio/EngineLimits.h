#pragma once

#include <cstddef>
#include <cstdint>

// Bounds on what the page, the bridge, a channel-mapping file and the network
// may ask of the engine. Requests beyond them are refused with a log line.
namespace EngineLimits {
// The most channels one sender may have (NDI carries up to 64 audio channels).
inline constexpr uint32_t kMaxSenderChannels = 64;
// The largest A/V delay either way, in milliseconds.
inline constexpr int kMaxDelayMs = 10000;
// The longest source or sender name kept, in bytes; longer network names are ignored.
inline constexpr std::size_t kMaxNameBytes = 1024;
// Pictures a second that a passed-through stream may have; pictures at any
// other rate are not sent.
inline constexpr int64_t kMinPictureRate = 1;
inline constexpr int64_t kMaxPictureRate = 240;
} // namespace EngineLimits
