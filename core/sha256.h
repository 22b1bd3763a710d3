// SHA-256 (FIPS 180-4), for the audit log's fingerprints of large tool
// inputs and responses. Small and self-contained, so that Core loads no
// cryptographic library for it.
#pragma once

#include <array>
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
  void compress(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t total_bytes_ = 0;
};

// The digest of `data` as 64 lower-case hex digits, as sha256sum prints it.
std::string sha256_hex(std::string_view data);

}  // namespace twk::core
