// SHA-256 against the published test vectors, around the padding
// boundaries, and fed in pieces.
#include "sha256.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace twk::core {
namespace {

TEST(Sha256, PublishedVectors) {
  EXPECT_EQ(sha256_hex(""),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(
      sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
      "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(sha256_hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, LengthsAroundTheBlockAndPaddingBoundaries) {
  // Digests from sha256sum. 55 bytes leave room for the length in the
  // same block, 56 do not, 64 fill a block exactly.
  EXPECT_EQ(sha256_hex(std::string(55, 'a')),
            "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
  EXPECT_EQ(sha256_hex(std::string(56, 'a')),
            "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
  EXPECT_EQ(sha256_hex(std::string(64, 'a')),
            "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
}

TEST(Sha256, PiecesGiveTheSameDigestAsTheWhole) {
  std::string message;
  for (int i = 0; i < 1000; ++i) message += static_cast<char>(i * 7 + 3);
  std::string whole = sha256_hex(message);
  for (std::size_t piece : {1u, 3u, 63u, 64u, 65u, 200u}) {
    Sha256 hash;
    for (std::size_t at = 0; at < message.size(); at += piece) {
      hash.update(std::string_view(message).substr(at, piece));
    }
    std::string hex;
    for (std::uint8_t b : hash.finish()) {
      static constexpr char kHex[] = "0123456789abcdef";
      hex += kHex[b >> 4];
      hex += kHex[b & 0xf];
    }
    EXPECT_EQ(hex, whole) << "pieces of " << piece;
  }
}

TEST(Sha256, AcceleratedCompressionMatchesThePortableOne) {
  // Sha256 uses the processor's SHA extensions where it has them, so the
  // published vectors above test only that path here; this holds it to the
  // portable one on pseudo-random blocks and states.
  std::vector<std::uint8_t> blocks(64 * 37);
  std::uint64_t x = 0x9e3779b97f4a7c15ULL;
  for (std::uint8_t& b : blocks) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b = static_cast<std::uint8_t>(x);
  }
  for (std::size_t count : {std::size_t{1}, std::size_t{2}, std::size_t{37}}) {
    std::array<std::uint32_t, 8> portable;
    for (std::size_t i = 0; i < portable.size(); ++i) {
      portable[i] = static_cast<std::uint32_t>(x >> (i * 4)) * 2654435761u;
    }
    std::array<std::uint32_t, 8> accelerated = portable;
    sha256_internal::compress_portable(portable.data(), blocks.data(), count);
    if (!sha256_internal::compress_accelerated(accelerated.data(),
                                               blocks.data(), count)) {
      GTEST_SKIP() << "this processor has no SHA extensions";
    }
    EXPECT_EQ(accelerated, portable) << count << " blocks";
  }
  // And the portable path on its own against a published vector: one
  // padded block of "abc".
  std::array<std::uint8_t, 64> abc{'a', 'b', 'c', 0x80};
  abc[63] = 24;
  std::array<std::uint32_t, 8> state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372,
                                        0xa54ff53a, 0x510e527f, 0x9b05688c,
                                        0x1f83d9ab, 0x5be0cd19};
  sha256_internal::compress_portable(state.data(), abc.data(), 1);
  EXPECT_EQ(state[0], 0xba7816bfu);
  EXPECT_EQ(state[7], 0xf20015adu);
}

}  // namespace
}  // namespace twk::core
