// Strings, escapes and numbers of the strict reader.
//
// An event can carry megabytes of string (a whole file a tool read), and
// the agent waits for the hook on every tool call, so strings are checked
// and copied sixteen or sixty-four bytes at a time straight into the
// output; only the bytes that need a look stop the copy.
#include "twk/json_scan.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "twk/utf8.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace twk::json::scan {
namespace {

// The escapes whose two bytes are already the canonical form.
struct ShortEscapeTable {
  bool canonical[256] = {};
  constexpr ShortEscapeTable() {
    for (char c : {'"', '\\', 'b', 'f', 'n', 'r', 't'}) {
      canonical[static_cast<unsigned char>(c)] = true;
    }
  }
};
constexpr ShortEscapeTable kShortEscape;

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code unit of the four hex digits at `p`, or -1.
int hex4(const char* p) {
  int a = hex_value(p[0]), b = hex_value(p[1]), c = hex_value(p[2]),
      d = hex_value(p[3]);
  if ((a | b | c | d) < 0) return -1;
  return (a << 12) | (b << 8) | (c << 4) | d;
}

// The length of the multi-byte UTF-8 sequence at `s` (with `left` bytes
// readable), or 0 when it is ill-formed: no overlong forms, no surrogates,
// nothing above U+10FFFF.
std::size_t utf8_length(const unsigned char* s, std::size_t left) {
  const auto [n, lo, hi] = utf8::lead_byte(s[0]);
  if (n == 0 || left < n || s[1] < lo || s[1] > hi) return 0;
  for (std::size_t i = 2; i < n; ++i) {
    if (s[i] < 0x80 || s[i] > 0xBF) return 0;
  }
  return n;
}

// Writes the code point `cp` (of an escape) in canonical form.
char* write_code_point(std::uint32_t cp, char* o) {
  if (cp < 0x80) {
    if (kPlainStringBytes.plain[cp] || cp == 0x7F) {
      *o++ = static_cast<char>(cp);
      return o;
    }
    static constexpr char kShort[] = "\"\"\\\\\bb\tt\nn\ff\rr";
    for (const char* s = kShort; *s != '\0'; s += 2) {
      if (static_cast<unsigned char>(s[0]) != cp) continue;
      o[0] = '\\';
      o[1] = s[1];
      return o + 2;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    const char u[6] = {'\\', 'u', '0', '0', kHex[cp >> 4], kHex[cp & 15]};
    std::memcpy(o, u, sizeof u);
    return o + sizeof u;
  }
  return utf8::encode(cp, o);
}

// One escape sequence (at.p at its backslash), decoded and written in
// canonical form.
Pos escape(Pos at, const char* end) {
  const char* p = at.p;
  if (end - p < 2) return kInvalid;
  char e = p[1];
  p += 2;
  if (e == 'u') {
    if (end - p < 4) return kInvalid;
    int unit = hex4(p);
    if (unit < 0) return kInvalid;
    p += 4;
    std::uint32_t cp = static_cast<std::uint32_t>(unit);
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      // A high surrogate must be followed by an escaped low one.
      if (end - p < 6 || p[0] != '\\' || p[1] != 'u') return kInvalid;
      int low = hex4(p + 2);
      if (low < 0xDC00 || low > 0xDFFF) return kInvalid;
      p += 6;
      cp = 0x10000 + ((cp - 0xD800) << 10) +
           (static_cast<std::uint32_t>(low) - 0xDC00);
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      return kInvalid;  // a low surrogate on its own
    }
    return {p, write_code_point(cp, at.o)};
  }
  if (e == '/') {
    *at.o = '/';
    return {p, at.o + 1};
  }
  if (!kShortEscape.canonical[static_cast<unsigned char>(e)]) return kInvalid;
  at.o[0] = '\\';
  at.o[1] = e;
  return {p, at.o + 2};
}

// A run of plain text, and whether it stopped at a byte that needs a look
// (else there were too few bytes left for another block).
struct Run {
  Pos at;
  bool stopped;
};

#if defined(__SSE2__)
// The characters after a backslash run of odd length in `backslashes` (a
// bit per byte): the escaped characters. Runs must not reach the top bit.
std::uint64_t escaped_by_odd_runs(std::uint64_t backslashes) {
  constexpr std::uint64_t kEven = 0x5555555555555555;
  std::uint64_t starts = backslashes & ~(backslashes << 1);
  // Adding a run's first bit to the run carries to the byte after it; the
  // parity of start and end tells the run's length.
  std::uint64_t after_even =
      (backslashes + (starts & kEven)) & ~backslashes & ~kEven;
  std::uint64_t after_odd =
      (backslashes + (starts & ~kEven)) & ~backslashes & kEven;
  return after_even | after_odd;
}

// Masks of one 64-byte chunk, a bit per byte.
struct ChunkMasks {
  std::uint64_t quote = 0;
  std::uint64_t backslash = 0;
  std::uint64_t control = 0;    // below 0x20
  std::uint64_t high = 0;       // 0x80 and up
  std::uint64_t canonical = 0;  // " \ b f n r t: escapes written as they are
};

ChunkMasks chunk_masks(const __m128i (&v)[4]) {
  ChunkMasks m;
  for (int i = 0; i < 4; ++i) {
    auto bits = [&](__m128i x) {
      return static_cast<std::uint64_t>(
                 static_cast<unsigned>(_mm_movemask_epi8(x)))
             << (16 * i);
    };
    __m128i quote = _mm_cmpeq_epi8(v[i], _mm_set1_epi8('"'));
    __m128i backslash = _mm_cmpeq_epi8(v[i], _mm_set1_epi8('\\'));
    m.quote |= bits(quote);
    m.backslash |= bits(backslash);
    m.high |= bits(v[i]);
    // A signed compare: below 0x20 is the control characters and the
    // bytes from 0x80 up.
    m.control |= bits(_mm_cmplt_epi8(v[i], _mm_set1_epi8(0x20)));
    __m128i canonical = _mm_or_si128(quote, backslash);
    for (char c : {'b', 'f', 'n', 'r', 't'}) {
      canonical =
          _mm_or_si128(canonical, _mm_cmpeq_epi8(v[i], _mm_set1_epi8(c)));
    }
    m.canonical |= bits(canonical);
  }
  m.control &= ~m.high;
  return m;
}

// How many bytes of a chunk at `p` with masks `m` go on the run: up to the
// first byte that needs a look. Canonical escapes (worked out for the whole
// chunk with bit arithmetic) and well-formed UTF-8 do not stop it.
unsigned chunk_plain_bytes(const char* p, const ChunkMasks& m, bool& escaped) {
  // A backslash run at the end may go on in the next chunk; the chunk then
  // ends where that run starts.
  unsigned limit = 64;
  std::uint64_t backslash = m.backslash;
  if (backslash >> 63) {
    std::uint64_t other = ~backslash;
    limit = other == 0 ? 0 : 64 - static_cast<unsigned>(__builtin_clzll(other));
    backslash &= limit == 0 ? 0 : ~std::uint64_t{0} >> (64 - limit);
  }
  std::uint64_t escaped_chars = escaped_by_odd_runs(backslash);
  // Stops: the closing quote, control characters, escapes that are not
  // written as they are (at their backslash), bytes from 0x80 up.
  std::uint64_t stops = (m.quote & ~escaped_chars) | m.control |
                        ((escaped_chars & ~m.canonical) >> 1) | m.high;
  if (limit < 64) stops |= std::uint64_t{1} << limit;
  unsigned n = 64;
  while (stops != 0) {
    unsigned i = static_cast<unsigned>(__builtin_ctzll(stops));
    if (i < limit && ((m.high >> i) & 1) != 0) {
      std::size_t len =
          utf8_length(reinterpret_cast<const unsigned char*>(p + i), limit - i);
      if (len != 0) {
        stops &= ~(((std::uint64_t{1} << len) - 1) << i);
        continue;
      }
    }
    n = i;
    break;
  }
  if (n > 0 && (backslash & (~std::uint64_t{0} >> (64 - n))) != 0) {
    escaped = true;
  }
  return n;
}

// Chunks of 64 bytes. All four blocks of a chunk are loaded before any is
// stored, so output written over the text needs to stay only 64 bytes
// behind the reading.
[[gnu::always_inline]] inline Run chunk_run(Pos at, const char* end,
                                            bool& escaped) {
  const char* p = at.p;
  char* o = at.o;
  while (end - p >= 64) {
    __m128i v[4];
    for (int i = 0; i < 4; ++i) {
      v[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p) + i);
    }
    for (int i = 0; i < 4; ++i) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o) + i, v[i]);
    }
    ChunkMasks m = chunk_masks(v);
    unsigned n = (m.quote | m.backslash | m.control | m.high) == 0
                     ? 64
                     : chunk_plain_bytes(p, m, escaped);
    p += n;
    o += n;
    if (n < 64) return {{p, o}, true};
  }
  return {{p, o}, false};
}

// Blocks of sixteen bytes. Within a block, the bytes that need a look are
// taken one after the other from a bit mask; canonical escapes and
// well-formed UTF-8 are settled inside the block. Leaves early, with
// `chunked` set, once the string has proved long enough for chunks: short
// strings (keys, names, ids) end before the first chunk would pay off.
[[gnu::always_inline]] inline Run block_run(Pos at, const char* end,
                                            const char* first, bool& chunked,
                                            bool& escaped) {
  const char* p = at.p;
  char* o = at.o;
  while (end - p >= 16) {
    // The block is stored before it is looked at: whatever lies past the
    // byte where the block is left is overwritten by what follows.
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
    // A signed compare: below 0x20 catches the control characters and
    // every byte from 0x80 up.
    __m128i look =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                                  _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
                     _mm_cmplt_epi8(v, _mm_set1_epi8(0x20)));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(look));
    unsigned n = 16;
    while (mask != 0) {
      unsigned i = static_cast<unsigned>(__builtin_ctz(mask));
      unsigned char c = static_cast<unsigned char>(p[i]);
      std::size_t len = 0;
      if (c == '\\') {
        // The escaped byte may be a quote or backslash.
        if (i < 15 &&
            kShortEscape.canonical[static_cast<unsigned char>(p[i + 1])]) {
          escaped = true;
          len = 2;
        }
      } else if (c >= 0x80) {
        // Zero when ill-formed or when it runs past the block.
        len =
            utf8_length(reinterpret_cast<const unsigned char*>(p + i), 16 - i);
      }
      if (len == 0) {  // also the closing quote and control characters
        n = i;
        break;
      }
      mask &= ~(((1u << len) - 1) << i);
    }
    p += n;
    o += n;
    if (n < 16) return {{p, o}, true};
    if (!chunked && p - first >= 48 && end - p >= 64) {
      chunked = true;
      break;
    }
  }
  return {{p, o}, false};
}
#endif

// Copies plain text from at.p on, up to the first byte that needs a look
// or the end of the text.
[[gnu::always_inline]] inline Pos plain_text(Pos at, const char* end,
                                             const char* first, bool& chunked,
                                             bool& escaped) {
#if defined(__SSE2__)
  for (;;) {
    if (chunked) {
      Run chunks = chunk_run(at, end, escaped);
      if (chunks.stopped) return chunks.at;
      at = chunks.at;
    }
    bool was_chunked = chunked;
    Run blocks = block_run(at, end, first, chunked, escaped);
    if (blocks.stopped) return blocks.at;
    at = blocks.at;
    if (chunked == was_chunked) break;  // fewer than sixteen bytes left
  }
#endif
  while (at.p != end &&
         kPlainStringBytes.plain[static_cast<unsigned char>(*at.p)]) {
    *at.o++ = *at.p++;
  }
  return at;
}

// The number of ASCII digits from `p` on.
std::size_t digit_run(const char* p, const char* end) {
  const char* q = p;
#if defined(__SSE2__)
  if (end - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)),
                                  _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1)));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(digit));
    if (mask != 0xFFFF) {
      return static_cast<std::size_t>(__builtin_ctz(~mask));
    }
    q += 16;
  }
#endif
  while (q != end && is_digit(*q)) ++q;
  return static_cast<std::size_t>(q - p);
}

// Whether the integer digits [first, last) (no sign, no leading zero) fit
// the library's 64-bit integer types: unsigned for positive numbers, signed
// for negative ones.
bool integer_fits(const char* first, const char* last, bool negative) {
  static constexpr std::string_view kMaxUnsigned = "18446744073709551615";
  static constexpr std::string_view kMinSignedDigits = "9223372036854775808";
  std::size_t n = static_cast<std::size_t>(last - first);
  std::string_view limit = negative ? kMinSignedDigits : kMaxUnsigned;
  if (n != limit.size()) return n < limit.size();
  return std::string_view(first, n) <= limit;
}

}  // namespace

Pos string(Pos at, const char* end, bool& escaped) {
  *at.o++ = *at.p++;
  const char* const first = at.p;
  bool chunked = false;
  for (;;) {
    at = plain_text(at, end, first, chunked, escaped);
    if (at.p == end) return kInvalid;
    unsigned char c = static_cast<unsigned char>(*at.p);
    if (c == '"') {
      *at.o++ = '"';
      ++at.p;
      return at;
    }
    if (c == '\\') {
      char* written = at.o;
      at = escape(at, end);
      if (at.p == nullptr) return kInvalid;
      if (*written == '\\') escaped = true;
      continue;
    }
    if (c < 0x20) return kInvalid;  // a raw control character, NUL included
    std::size_t len = utf8_length(reinterpret_cast<const unsigned char*>(at.p),
                                  static_cast<std::size_t>(end - at.p));
    if (len == 0) return kInvalid;
    for (std::size_t k = 0; k < len; ++k) at.o[k] = at.p[k];
    at.p += len;
    at.o += len;
  }
}

NumberText number_text(const char* p, const char* end) {
  bool negative = *p == '-';
  const char* digits = p + (negative ? 1 : 0);
  if (digits == end) return {nullptr, false};
  const char* q = digits;
  if (*q == '0') {
    ++q;
  } else if (*q >= '1' && *q <= '9') {
    q += digit_run(q, end);
  } else {
    return {nullptr, false};
  }
  const char* digits_end = q;
  bool integer = true;
  if (q != end && *q == '.') {
    ++q;
    std::size_t n = digit_run(q, end);
    if (n == 0) return {nullptr, false};
    q += n;
    integer = false;
  }
  if (q != end && (*q == 'e' || *q == 'E')) {
    ++q;
    if (q != end && (*q == '+' || *q == '-')) ++q;
    std::size_t n = digit_run(q, end);
    if (n == 0) return {nullptr, false};
    q += n;
    integer = false;
  }
  return {q, integer && integer_fits(digits, digits_end, negative)};
}

bool to_double(const char* first, const char* last, double& value,
               Decimal& decimal) {
  // Most numbers are a short mantissa times a small power of ten. Both are
  // exact doubles then, and one multiplication or division, correctly
  // rounded by IEEE arithmetic, gives the nearest double (Clinger's fast
  // path).
  static constexpr double kPow10[] = {
      1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
      1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  const char* p = first;
  bool negative = *p == '-';
  if (negative) ++p;
  std::uint64_t mantissa = 0;
  std::int64_t digits = 0;
  std::int64_t exponent = 0;
  for (; p != last && is_digit(*p); ++p, ++digits) {
    mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
  }
  if (p != last && *p == '.') {
    for (++p; p != last && is_digit(*p); ++p, ++digits, --exponent) {
      mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
    }
  }
  bool simple = digits <= 19;  // the mantissa did not wrap
  if (p != last) {             // the exponent part
    ++p;
    bool minus = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    std::int64_t e = 0;
    for (; p != last && simple; ++p) {
      e = e * 10 + (*p - '0');
      if (e > 9999) simple = false;
    }
    exponent += minus ? -e : e;
  }
  decimal = simple ? Decimal{mantissa, static_cast<int>(exponent)} : Decimal{};
  if (simple && mantissa <= (std::uint64_t{1} << 53) && exponent >= -22 &&
      exponent <= 22) {
    double m = static_cast<double>(mantissa);
    value = exponent < 0 ? m / kPow10[-exponent] : m * kPow10[exponent];
    if (negative) value = -value;
    return true;
  }

  auto [end, ec] = std::from_chars(first, last, value);
  if (ec == std::errc() && end == last) return std::isfinite(value);
  // Out of range: an overflow (rejected below) or an underflow, where
  // strtod's answer (zero or the nearest subnormal) is the one the library
  // takes. Rare enough for a copy.
  std::string text(first, last);
  value = std::strtod(text.c_str(), nullptr);
  return std::isfinite(value);
}

bool decode_canonical(const char* s, const char* e, std::string& to) {
  static constexpr char kShort[] = "\"\"\\\\b\bf\fn\nr\rt\t";
  while (s != e) {
    const char* run = s;
    while (s != e && *s != '\\') ++s;
    to.append(run, static_cast<std::size_t>(s - run));
    if (s == e) return true;
    if (e - s < 2) return false;
    char c = s[1];
    s += 2;
    if (c == 'u') {
      // Only \u00xx, for control characters.
      int unit = e - s >= 4 ? hex4(s) : -1;
      if (unit < 0 || unit >= 0x20) return false;
      to += static_cast<char>(unit);
      s += 4;
      continue;
    }
    const char* found = kShort;
    while (*found != '\0' && *found != c) found += 2;
    if (*found == '\0') return false;
    to += found[1];
  }
  return true;
}

}  // namespace twk::json::scan
