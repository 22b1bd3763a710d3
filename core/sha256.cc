// SHA-256 as specified in FIPS 180-4, section 6.2.
#include "sha256.h"

#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace twk::core {
namespace {

constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1,
    0x923f82a4, 0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3,
    0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786,
    0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147,
    0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13,
    0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a,
    0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208,
    0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t rotr(std::uint32_t x, int n) {
  return (x >> n) | (x << (32 - n));
}

std::uint32_t load_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
         (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

void compress_generic(std::uint32_t* state, const std::uint8_t* block,
                      std::size_t blocks) {
  for (; blocks > 0; --blocks, block += 64) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i) w[i] = load_be32(block + 4 * i);
    for (int i = 16; i < 64; ++i) {
      std::uint32_t s0 =
          rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      std::uint32_t s1 =
          rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
      std::uint32_t s1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
      std::uint32_t choice = (e & f) ^ (~e & g);
      std::uint32_t t1 = h + s1 + choice + kRound[i] + w[i];
      std::uint32_t s0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
      std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
      std::uint32_t t2 = s0 + majority;
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

#if defined(__x86_64__)
// The same compression with the processor's SHA extensions, about five times
// as fast; audit records hash every tool response, which can be megabytes.
// Four rounds per step: sha256rnds2 does two, on the state split into the
// halves ABEF and CDGH; sha256msg1/msg2 extend the message schedule.
__attribute__((target("sha,sse4.1,ssse3"))) void compress_sha_ni(
    std::uint32_t* state, const std::uint8_t* block, std::size_t blocks) {
  const __m128i byte_swap =
      _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

  for (; blocks > 0; --blocks, block += 64) {
    const __m128i abef_before = abef;
    const __m128i cdgh_before = cdgh;
    __m128i w[4];  // the schedule's last 16 words, four to an entry
    for (int i = 0; i < 4; ++i) {
      w[i] = _mm_shuffle_epi8(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i)),
          byte_swap);
    }
    for (int step = 0; step < 16; ++step) {
      __m128i& words = w[step % 4];
      if (step >= 4) {
        const __m128i& minus3 = w[(step + 1) % 4];
        const __m128i& minus2 = w[(step + 2) % 4];
        const __m128i& minus1 = w[(step + 3) % 4];
        words = _mm_sha256msg2_epu32(
            _mm_add_epi32(_mm_sha256msg1_epu32(words, minus3),
                          _mm_alignr_epi8(minus1, minus2, 4)),
            minus1);
      }
      __m128i message = _mm_add_epi32(
          words,
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound + 4 * step)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
      abef =
          _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(message, 0x0E));
    }
    abef = _mm_add_epi32(abef, abef_before);
    cdgh = _mm_add_epi32(cdgh, cdgh_before);
  }

  __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state),
                   _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4),
                   _mm_alignr_epi8(dchg, feba, 8));
}

bool has_sha_ni() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
  const bool ssse3 = (c & bit_SSSE3) != 0;
  const bool sse41 = (c & bit_SSE4_1) != 0;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
  return ssse3 && sse41 && (b & bit_SHA) != 0;
}
#endif

using CompressFunction = void (*)(std::uint32_t*, const std::uint8_t*,
                                  std::size_t);

CompressFunction accelerated_compress() {
#if defined(__x86_64__)
  if (has_sha_ni()) return compress_sha_ni;
#endif
  return nullptr;
}

CompressFunction chosen_compress() {
  static const CompressFunction chosen = [] {
    CompressFunction f = accelerated_compress();
    return f != nullptr ? f : compress_generic;
  }();
  return chosen;
}

}  // namespace

namespace sha256_internal {

void compress_portable(std::uint32_t* state, const std::uint8_t* blocks,
                       std::size_t count) {
  compress_generic(state, blocks, count);
}

bool compress_accelerated(std::uint32_t* state, const std::uint8_t* blocks,
                          std::size_t count) {
  CompressFunction f = accelerated_compress();
  if (f == nullptr) return false;
  f(state, blocks, count);
  return true;
}

}  // namespace sha256_internal

Sha256::Sha256()
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void Sha256::compress(const std::uint8_t* blocks, std::size_t count) {
  chosen_compress()(state_.data(), blocks, count);
}

void Sha256::update(std::string_view data) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(data.data());
  std::size_t left = data.size();
  total_bytes_ += left;
  if (buffered_ > 0) {
    std::size_t take = std::min(left, buffer_.size() - buffered_);
    std::memcpy(buffer_.data() + buffered_, p, take);
    buffered_ += take;
    p += take;
    left -= take;
    if (buffered_ < buffer_.size()) return;
    compress(buffer_.data(), 1);
    buffered_ = 0;
  }
  if (left >= 64) {
    compress(p, left / 64);
    p += left / 64 * 64;
    left %= 64;
  }
  if (left > 0) std::memcpy(buffer_.data(), p, left);
  buffered_ = left;
}

std::array<std::uint8_t, 32> Sha256::finish() {
  // Padding: 0x80, zeros up to 56 bytes into a block, then the message
  // length in bits as a big-endian 64-bit number.
  std::uint64_t bits = total_bytes_ * 8;
  buffer_[buffered_++] = 0x80;
  if (buffered_ > 56) {
    std::memset(buffer_.data() + buffered_, 0, 64 - buffered_);
    compress(buffer_.data(), 1);
    buffered_ = 0;
  }
  std::memset(buffer_.data() + buffered_, 0, 56 - buffered_);
  for (int i = 0; i < 8; ++i) {
    buffer_[56 + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
  }
  compress(buffer_.data(), 1);
  std::array<std::uint8_t, 32> digest;
  for (int i = 0; i < 8; ++i) {
    for (int j = 0; j < 4; ++j) {
      digest[4 * i + j] = static_cast<std::uint8_t>(state_[i] >> (24 - 8 * j));
    }
  }
  return digest;
}

std::string sha256_hex(std::string_view data) {
  Sha256 hash;
  hash.update(data);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(64);
  for (std::uint8_t b : hash.finish()) {
    out += kHex[b >> 4];
    out += kHex[b & 0xf];
  }
  return out;
}

}  // namespace twk::core
