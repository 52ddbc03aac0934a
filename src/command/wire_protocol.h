// What the library, the command-line tool and the simulator must agree on: a frame is the
// document's total length (its own four bytes included) as a 32-bit little-endian number, then
// the document; and the limits on what a command may carry.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel {

constexpr std::size_t kLengthFieldSize = 4;
constexpr std::size_t kVidoutLimit = 64;  // video output texts: fewer than 64 bytes
constexpr std::size_t kUrlLimit = 256;    // URLs: fewer than 256 bytes
constexpr int kWallSlotCount = 64;        // controllers registered at once
constexpr int kWallAddressSize = 32;      // 31 characters and the terminating NUL

inline void EncodeFrameLength(std::uint32_t total, unsigned char* field) {
  for (std::size_t i = 0; i < kLengthFieldSize; ++i) {
    field[i] = static_cast<unsigned char>(total >> (8 * i));
  }
}

inline std::uint32_t DecodeFrameLength(const unsigned char* field) {
  std::uint32_t total = 0;
  for (std::size_t i = 0; i < kLengthFieldSize; ++i) {
    total |= static_cast<std::uint32_t>(field[i]) << (8 * i);
  }
  return total;
}

}  // namespace ostrel
