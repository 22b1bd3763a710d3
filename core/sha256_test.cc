// SHA-256 against the published test vectors, around the padding
// boundaries, and fed in pieces.
#include "sha256.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace twk::core
