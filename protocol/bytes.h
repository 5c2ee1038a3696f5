#pragma once
// Big-endian field access for the camera's wire format. Every multi-byte integer on the wire is
// big-endian; values are kept in host order everywhere else.

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrel::protocol {

using Byte = std::uint8_t;

constexpr void putU16(std::span<Byte> out, std::size_t offset, std::uint16_t value) {
    out[offset] = static_cast<Byte>(value >> 8);
    out[offset + 1] = static_cast<Byte>(value);
}

constexpr void putU32(std::span<Byte> out, std::size_t offset, std::uint32_t value) {
    out[offset] = static_cast<Byte>(value >> 24);
    out[offset + 1] = static_cast<Byte>(value >> 16);
    out[offset + 2] = static_cast<Byte>(value >> 8);
    out[offset + 3] = static_cast<Byte>(value);
}

constexpr std::uint16_t getU16(std::span<const Byte> in, std::size_t offset) {
    return static_cast<std::uint16_t>((in[offset] << 8) | in[offset + 1]);
}

constexpr std::uint32_t getU32(std::span<const Byte> in, std::size_t offset) {
    return (std::uint32_t{in[offset]} << 24) | (std::uint32_t{in[offset + 1]} << 16) |
           (std::uint32_t{in[offset + 2]} << 8) | std::uint32_t{in[offset + 3]};
}

}  // namespace kestrel::protocol
