#pragma once
// The fixed JPEG header the client puts in front of each frame's data: start of image, an
// application segment, two quantisation tables, a baseline frame header (4:2:2), the typical
// luminance Huffman tables and the scan header. Only the picture's height and width change.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrel::protocol {

inline constexpr std::size_t kJpegHeaderSize = 400;
inline constexpr std::size_t kJpegHeightOffset = 160;
inline constexpr std::size_t kJpegWidthOffset = 162;

extern const std::array<std::uint8_t, kJpegHeaderSize> JpegHeaderTemplate;

// The two quantisation tables in the order stored (zigzag), and the Huffman tables as declared:
// what an encoder must use so that its data decodes behind the template.
extern const std::array<std::uint8_t, 64> kLuminanceQuantTable;
extern const std::array<std::uint8_t, 64> kChrominanceQuantTable;
extern const std::array<std::uint8_t, 16> kDcCodeCounts;
extern const std::array<std::uint8_t, 12> kDcSymbols;
extern const std::array<std::uint8_t, 16> kAcCodeCounts;
extern const std::array<std::uint8_t, 162> kAcSymbols;

// Writes height and width, each big-endian 16-bit, into a copy of the template.
void patchJpegHeader(std::span<std::uint8_t, kJpegHeaderSize> copy, std::uint16_t height,
                     std::uint16_t width);

}  // namespace kestrel::protocol
