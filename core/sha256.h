// SHA-256 (FIPS 180-4), for the audit log's fingerprints of large tool
// inputs and responses. Small and self-contained, so that Core loads no
// cryptographic library for it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace twk::core {

class Sha256 {
 public:
  Sha256();

  // Adds `data` to the message. May be called any number of times.
  void update(std::string_view data);

  // The digest of everything added so far. Ends this object's use.
  std::array<std::uint8_t, 32> finish();

 private:
  // Runs `count` 64-byte blocks through the compression function.
  void compress(const std::uint8_t* blocks, std::size_t count);

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t total_bytes_ = 0;
};

// The digest of `data` as 64 lower-case hex digits, as sha256sum prints it.
std::string sha256_hex(std::string_view data);

// The two compression functions behind Sha256, so that tests can hold the
// accelerated one to the portable one. Each runs `count` 64-byte blocks into
// `state` (eight words).
namespace sha256_internal {
void compress_portable(std::uint32_t* state, const std::uint8_t* blocks,
                       std::size_t count);
// False, and `state` untouched, when the processor has no SHA extensions.
bool compress_accelerated(std::uint32_t* state, const std::uint8_t* blocks,
                          std::size_t count);
}  // namespace sha256_internal

}  // namespace twk::core
