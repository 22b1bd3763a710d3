// The canonical writer for the hook input: one pass over the text that
// checks it by the strict rules and writes it back canonically as it goes.
//
// This is the program's own small parser and not the library's, because it
// is the one place where the size of a JSON text matters: an event can
// carry megabytes (a whole file a tool read, a large query result), and the
// agent waits for the hook on every tool call. The library's parser reads a
// character at a time and copies every string twice before a writer sees
// it. Here strings and digit runs are checked and copied sixteen bytes at a
// time straight into the output, and integers, whose text is already
// canonical when they fit 64 bits, are copied as they are.
//
// The rules are the library parser's plus the program's own (see json.h).
// Acceptance and output are held to a dump of the library's parse by the
// unit tests and by the differential fuzz target fuzz/json_canonical_fuzz.cc.
// Other numbers go through the same conversions as in the library: the
// correctly rounded double of the text, as strtod gives it, written by the
// library's own shortest round-trip writer.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "twk/json.h"
#include "twk/json_double.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace twk::json {
namespace {

// Bytes that go on a run of plain string content; the run ends at the
// closing quote, an escape, a control character (invalid raw) or the lead
// byte of a multi-byte UTF-8 sequence (checked on its own).
struct PlainTable {
  bool plain[256] = {};
  constexpr PlainTable() {
    for (int c = 0x20; c < 0x80; ++c) plain[c] = true;
    plain[static_cast<unsigned char>('"')] = false;
    plain[static_cast<unsigned char>('\\')] = false;
  }
};
constexpr PlainTable kPlain;

constexpr bool is_space(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

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
// for negative ones. Such a number is written back exactly as it came.
bool integer_fits(const char* first, const char* last, bool negative) {
  static constexpr std::string_view kMaxUnsigned = "18446744073709551615";
  static constexpr std::string_view kMinSignedDigits = "9223372036854775808";
  std::size_t n = static_cast<std::size_t>(last - first);
  std::string_view limit = negative ? kMinSignedDigits : kMaxUnsigned;
  if (n != limit.size()) return n < limit.size();
  return std::string_view(first, n) <= limit;
}

// The double nearest to the number text [first, last), as strtod gives it;
// false when that is not finite (the library rejects those).
bool to_double(const char* first, const char* last, double& value) {
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

// One member of an open object: where its key starts (the opening quote)
// and ends (the closing quote) in the output, and where its value ends.
struct Member {
  std::size_t key;
  std::size_t key_end;
  std::size_t end;
  bool escaped;  // the written key holds an escape, so its text is not its
                 // bytes
};

struct Frame {
  bool object;
  bool sorted;        // keys arrived in strictly increasing order
  bool escaped_keys;  // some member's key holds an escape
  std::size_t start;  // output offset just past the opening bracket
  std::size_t first;  // index of the frame's first entry in members_
};

// A key prepared for sorting: its first eight bytes as a big-endian number
// (zero-padded), so that most comparisons are one integer comparison.
struct SortKey {
  std::uint64_t prefix;
  const char* data;
  std::size_t size;
  std::size_t index;
};

// Loads the first (up to) eight bytes of a key; eight bytes must be
// readable at `data`.
std::uint64_t key_prefix(const char* data, std::size_t size) {
  if (size == 0) return 0;
  std::uint64_t v;
  std::memcpy(&v, data, sizeof v);
  v = __builtin_bswap64(v);
  if (size < 8) v &= ~std::uint64_t{0} << (8 * (8 - size));
  return v;
}

bool key_less(const SortKey& a, const SortKey& b) {
  if (a.prefix != b.prefix) return a.prefix < b.prefix;
  // Equal first eight bytes; a key of eight or fewer bytes is then a prefix
  // of the other.
  if (a.size > 8 && b.size > 8) {
    int c = std::memcmp(a.data + 8, b.data + 8, std::min(a.size, b.size) - 8);
    if (c != 0) return c < 0;
  }
  return a.size < b.size;
}

bool key_equal(const SortKey& a, const SortKey& b) {
  return a.prefix == b.prefix && a.size == b.size &&
         (a.size <= 8 || std::memcmp(a.data + 8, b.data + 8, a.size - 8) == 0);
}

// Where reading and writing stand. After invalid input, p is null.
struct Pos {
  const char* p;
  char* o;
};

// One escape sequence (p at its backslash), decoded and written in
// canonical form: the short forms for " \ and the five control characters
// that have one, \u00xx for the other control characters, everything else
// as its UTF-8 bytes.
Pos escape(const char* p, char* o, const char* end) {
  constexpr Pos kInvalid{nullptr, nullptr};
  if (end - p < 2) return kInvalid;
  char e = p[1];
  p += 2;
  char short_form = 0;
  switch (e) {
    case '"': short_form = '"'; break;
    case '\\': short_form = '\\'; break;
    case '/': *o++ = '/'; return {p, o};
    case 'b': short_form = 'b'; break;
    case 'f': short_form = 'f'; break;
    case 'n': short_form = 'n'; break;
    case 'r': short_form = 'r'; break;
    case 't': short_form = 't'; break;
    case 'u': break;
    default: return kInvalid;
  }
  if (short_form != 0) {
    o[0] = '\\';
    o[1] = short_form;
    return {p, o + 2};
  }

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

  if (cp < 0x80) {
    if (kPlain.plain[cp] || cp == 0x7F) {
      *o++ = static_cast<char>(cp);
      return {p, o};
    }
    switch (cp) {
      case '"': short_form = '"'; break;
      case '\\': short_form = '\\'; break;
      case '\b': short_form = 'b'; break;
      case '\t': short_form = 't'; break;
      case '\n': short_form = 'n'; break;
      case '\f': short_form = 'f'; break;
      case '\r': short_form = 'r'; break;
      default: {
        static constexpr char kHex[] = "0123456789abcdef";
        const char u[6] = {'\\', 'u', '0', '0', kHex[cp >> 4], kHex[cp & 15]};
        std::memcpy(o, u, sizeof u);
        return {p, o + sizeof u};
      }
    }
    o[0] = '\\';
    o[1] = short_form;
    return {p, o + 2};
  }
  if (cp < 0x800) {
    o[0] = static_cast<char>(0xC0 | (cp >> 6));
    o[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return {p, o + 2};
  }
  if (cp < 0x10000) {
    o[0] = static_cast<char>(0xE0 | (cp >> 12));
    o[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    o[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return {p, o + 3};
  }
  o[0] = static_cast<char>(0xF0 | (cp >> 18));
  o[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  o[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  o[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return {p, o + 4};
}

// The length of the multi-byte UTF-8 sequence at `s` (with `left` bytes
// readable), or 0 when it is ill-formed: no overlong forms, no surrogates,
// nothing above U+10FFFF.
std::size_t utf8_length(const unsigned char* s, std::size_t left) {
  unsigned char c = s[0];
  std::size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (left < n || s[1] < lo || s[1] > hi) return 0;
  for (std::size_t i = 2; i < n; ++i) {
    if (s[i] < 0x80 || s[i] > 0xBF) return 0;
  }
  return n;
}

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
      canonical = _mm_or_si128(canonical, _mm_cmpeq_epi8(v[i], _mm_set1_epi8(c)));
    }
    m.canonical |= bits(canonical);
  }
  m.control &= ~m.high;
  return m;
}
#endif

// The string whose opening quote p is at, checked and written in canonical
// form. Sets `escaped` when the written text holds an escape.
//
// Text is copied in blocks of sixteen bytes. Within a block, the bytes that
// need a look (quote, backslash, control characters, bytes from 0x80 up)
// are taken one after the other from a bit mask; escapes that are already
// canonical (\n \t \" \\ ...) and well-formed UTF-8 are written as they
// are, so they are settled inside the block. Anything else (the end of the
// string, \u and \/ escapes, an error) leaves the block at that byte.
//
// Reading and writing positions are passed by value and returned, here and
// below, so that they stay in registers: every byte written through a char
// pointer could otherwise alias them, and they would be reloaded after each.
[[gnu::always_inline]] inline Pos string(const char* p, char* o,
                                         const char* end, bool& escaped) {
  *o++ = *p++;
  // Whether the string has proved long enough for 64-byte chunks: short
  // ones (keys, names, ids) end before the first chunk would pay off.
  const char* const first = p;
  bool chunks = false;
  for (;;) {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i space = _mm_set1_epi8(0x20);
    bool start_chunks = false;
    // Chunks of 64 bytes: canonical escapes are settled for the whole chunk
    // with bit arithmetic, and only the other bytes that need a look stop
    // the copy. All four blocks are loaded before any is stored, and the
    // output keeps 64 bytes behind the reading when it goes over the text.
    while (chunks && end - p >= 64) {
      __m128i v[4];
      for (int i = 0; i < 4; ++i) {
        v[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p) + i);
      }
      for (int i = 0; i < 4; ++i) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o) + i, v[i]);
      }
      ChunkMasks m = chunk_masks(v);
      if ((m.quote | m.backslash | m.control | m.high) == 0) {
        p += 64;
        o += 64;
        continue;
      }
      // A backslash run at the end may go on in the next chunk; the chunk
      // then ends where that run starts.
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
          // Well-formed UTF-8 inside the chunk is written as it is.
          std::size_t len = utf8_length(
              reinterpret_cast<const unsigned char*>(p + i), limit - i);
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
      p += n;
      o += n;
      if (n < 64) goto look;
    }

    while (end - p >= 16) {
      // The block is stored before it is looked at: the room invariant
      // leaves at least sixteen bytes, and whatever lies past the byte
      // where the block is left is overwritten by what follows.
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
      // A signed compare: below 0x20 catches the control characters and
      // every byte from 0x80 up.
      __m128i look = _mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
          _mm_cmplt_epi8(v, space));
      unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(look));
      unsigned n = 16;
      while (mask != 0) {
        unsigned i = static_cast<unsigned>(__builtin_ctz(mask));
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c == '\\') {
          if (i == 15 ||
              !kShortEscape.canonical[static_cast<unsigned char>(p[i + 1])]) {
            n = i;
            break;
          }
          escaped = true;
          mask &= ~(3u << i);  // the escaped byte may be a quote or backslash
        } else if (c >= 0x80) {
          std::size_t len = utf8_length(
              reinterpret_cast<const unsigned char*>(p + i), 16 - i);
          if (len == 0) {  // ill-formed, or it runs past the block
            n = i;
            break;
          }
          mask &= ~(((1u << len) - 1) << i);
        } else {
          n = i;  // the closing quote or a control character
          break;
        }
      }
      p += n;
      o += n;
      if (n < 16) goto look;
      if (!chunks && p - first >= 48 && end - p >= 64) {
        chunks = start_chunks = true;
        break;
      }
    }
    if (start_chunks) continue;
#endif
    while (p != end && kPlain.plain[static_cast<unsigned char>(*p)]) {
      *o++ = *p++;
    }
    if (p == end) return {nullptr, nullptr};
#if defined(__SSE2__)
  look:
#endif
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"') {
      *o++ = '"';
      return {p + 1, o};
    }
    if (c == '\\') {
      Pos next = escape(p, o, end);
      if (next.p == nullptr) return next;
      if (*o == '\\') escaped = true;
      p = next.p;
      o = next.o;
    } else if (c < 0x20) {
      return {nullptr, nullptr};  // a raw control character, NUL included
    } else {
      std::size_t len =
          utf8_length(reinterpret_cast<const unsigned char*>(p),
                      static_cast<std::size_t>(end - p));
      if (len == 0) return {nullptr, nullptr};
      for (std::size_t k = 0; k < len; ++k) o[k] = p[k];
      p += len;
      o += len;
    }
  }
}

// Copies `n` bytes from `from` to `o`; sixteen bytes must be writable.
[[gnu::always_inline]] inline char* copy_short(char* o, const char* from,
                                               std::size_t n,
                                               const char* end) {
#if defined(__SSE2__)
  if (n <= 16 && end - from >= 16) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(from)));
    return o + n;
  }
#endif
  std::memcpy(o, from, n);
  return o + n;
}

// The text of a number at p: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
// Returns its end and whether it is an integer that fits 64 bits; null when
// the text is not a number.
struct NumberText {
  const char* end;
  bool fits;
};

[[gnu::always_inline]] inline NumberText number_text(const char* p,
                                                     const char* end) {
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

// The writer. Its output goes either after what a string already holds
// (growing the string when needed), or over the text itself, starting a
// little before it: every step but a number writes at most as much as it
// read, so the output stays behind the reading position, and only a number
// can make it move to a string of its own.
class Canonical {
 public:
  // Output after the current contents of `out`.
  Canonical(std::string& out, std::string_view text,
            std::size_t max_depth = kMaxDepth)
      : begin_(text.data()),
        end_(text.data() + text.size()),
        max_depth_(std::min(max_depth, kMaxWriterDepth)),
        grow_(&out),
        origin_(out.size()) {
    out.resize(origin_ + text.size() + kSlack);
    base_ = out.data() + origin_;
    limit_ = out.data() + out.size();
  }

  // Output over the text, from `to` on; `spill` takes it over if it
  // catches up with the reading.
  Canonical(char* to, std::string_view text, std::string& spill)
      : begin_(text.data()),
        end_(text.data() + text.size()),
        spill_(&spill),
        base_(to) {}

  // The canonical text, or nothing when the text is invalid.
  std::optional<std::string_view> run() {
    char* o = parse();
    if (o == nullptr) {
      if (grow_ != nullptr) grow_->resize(origin_);
      return std::nullopt;
    }
    std::size_t size = static_cast<std::size_t>(o - base_);
    if (grow_ == nullptr) return std::string_view(base_, size);
    grow_->resize(origin_ + size);
    return std::string_view(grow_->data() + origin_, size);
  }

 private:
  // When the output goes to a string: room kept beyond what the unread
  // text can produce, for the block copies (up to 64 bytes) and the
  // eight-byte key prefix loads.
  static constexpr std::size_t kSlack = 80;
  // When the output goes over the text: the distance it keeps from the
  // reading position, so that a block store (up to 64 bytes) never reaches
  // unread text.
  static constexpr std::size_t kBehind = 64;
  // Objects up to this many members are sorted by insertion.
  static constexpr std::size_t kInsertionSortMax = 32;
  // Objects up to this many bytes are re-laid from one copy of the whole.
  static constexpr std::size_t kSmallObject = 64 * 1024;

 public:
  static constexpr std::size_t kInPlaceGap = kBehind + kSlack;

 private:
  char* parse();
  char* write_double(const char* first, const char* last, char* o);
  char* make_room(char* o, const char* p);
  char* reorder(const Frame& f, char* o);
  SortKey sort_key(const Member& m, std::size_t index);

  const char* begin_;
  const char* end_;
  std::size_t max_depth_ = kMaxDepth;
  std::string* grow_ = nullptr;   // the string that holds the output, if any
  std::string* spill_ = nullptr;  // where output over the text moves to
  std::size_t origin_ = 0;        // where the output starts in *grow_
  char* base_;                    // where the output starts
  char* limit_ = nullptr;         // the end of *grow_'s storage

  Frame frames_[kMaxWriterDepth];
  std::vector<Member> members_;  // entries of all open objects, innermost last

  // Reused by reorder().
  std::vector<SortKey> keys_;
  std::vector<std::pair<std::size_t, std::size_t>> targets_;
  std::string decoded_;
  std::string moved_;
};

// The value grammar, driven by an explicit stack so that nesting costs no
// recursion; the depth limit is checked before a level is opened. Returns
// the end of the output, or null when the text is invalid.
char* Canonical::parse() {
  const char* p = begin_;
  const char* const end = end_;
  char* base = base_;
  char* o = base;
  std::size_t depth = 0;
  auto skip_space = [&] {
    while (p != end && is_space(*p)) ++p;
  };

  skip_space();
value:
  if (p == end) return nullptr;
  switch (*p) {
    case '{':
    case '[': {
      if (depth == max_depth_) return nullptr;
      bool object = *p == '{';
      *o++ = *p++;
      frames_[depth++] = Frame{object, true, false,
                               static_cast<std::size_t>(o - base),
                               members_.size()};
      skip_space();
      if (p != end && *p == (object ? '}' : ']')) {
        *o++ = *p++;
        --depth;
        goto after;
      }
      if (object) goto key;
      goto value;
    }
    case '"': {
      bool escaped = false;
      Pos next = string(p, o, end, escaped);
      if (next.p == nullptr) return nullptr;
      p = next.p;
      o = next.o;
      goto after;
    }
    case 't':
    case 'f':
    case 'n': {
      std::string_view word = *p == 't' ? "true" : *p == 'f' ? "false" : "null";
      if (static_cast<std::size_t>(end - p) < word.size() ||
          std::memcmp(p, word.data(), word.size()) != 0) {
        return nullptr;
      }
      std::memcpy(o, p, word.size());
      o += word.size();
      p += word.size();
      goto after;
    }
    default: {
      NumberText number = number_text(p, end);
      if (number.end == nullptr) return nullptr;
      if (number.fits) {
        // The text of a 64-bit integer is already canonical, except that
        // -0 is the integer 0.
        if (p[0] == '-' && p[1] == '0') {
          *o++ = '0';
        } else {
          o = copy_short(o, p, static_cast<std::size_t>(number.end - p), end);
        }
      } else {
        o = write_double(p, number.end, o);
        if (o == nullptr) return nullptr;
        base = base_;  // the output may have moved
      }
      p = number.end;
      goto after;
    }
  }

after:
  if (depth == 0) {
    skip_space();
    return p == end ? o : nullptr;
  }
  {
    Frame& f = frames_[depth - 1];
    if (f.object) members_.back().end = static_cast<std::size_t>(o - base);
    skip_space();
    if (p == end) return nullptr;
    char c = *p++;
    if (c == ',') {
      *o++ = ',';
      skip_space();
      if (f.object) goto key;
      goto value;
    }
    if (c == (f.object ? '}' : ']')) {
      if (f.object) {
        if (!f.sorted) o = reorder(f, o);
        *o++ = '}';
        members_.resize(f.first);
      } else {
        *o++ = ']';
      }
      --depth;
      goto after;
    }
    return nullptr;
  }

key:
  if (p == end || *p != '"') return nullptr;
  {
    // A member's key, written like any string and remembered for ordering.
    Frame& f = frames_[depth - 1];
    std::size_t at = static_cast<std::size_t>(o - base);
    bool escaped = false;
    Pos next = string(p, o, end, escaped);
    if (next.p == nullptr) return nullptr;
    p = next.p;
    o = next.o;
    std::size_t key_end = static_cast<std::size_t>(o - base) - 1;
    if (escaped) f.escaped_keys = true;
    if (f.sorted && members_.size() > f.first) {
      const Member& last = members_.back();
      if (escaped || last.escaped) {
        // Escaped keys are compared by their bytes in reorder(); deciding
        // here is not worth it.
        f.sorted = false;
      } else {
        std::string_view a(base + last.key + 1, last.key_end - last.key - 1);
        std::string_view b(base + at + 1, key_end - at - 1);
        // The first bytes usually decide.
        if (!a.empty() && !b.empty() && a[0] != b[0]) {
          f.sorted = static_cast<unsigned char>(a[0]) <
                     static_cast<unsigned char>(b[0]);
        } else if (!(a < b)) {
          f.sorted = false;
        }
      }
    }
    members_.push_back(Member{at, key_end, 0, escaped});
  }
  skip_space();
  if (p == end || *p != ':') return nullptr;
  *o++ = *p++;
  skip_space();
  goto value;
}

// A number that is not a 64-bit integer, as the library writes its double.
// Returns the new end of the output (which may have moved), or null when
// the number is not finite.
char* Canonical::write_double(const char* first, const char* last, char* o) {
  double value;
  if (!to_double(first, last, value)) return nullptr;
  // The text written may be longer than the text read.
  bool room = grow_ == nullptr
                  ? static_cast<std::size_t>(last - o) >=
                        kBehind + kMaxDoubleText
                  : static_cast<std::size_t>(limit_ - o) >=
                        static_cast<std::size_t>(end_ - last) + kSlack +
                            kMaxDoubleText;
  if (!room) o = make_room(o, last);
  return json::write_double(o, value);
}

// Gives the output room for a number and whatever the rest of the text
// (from `p` on) can produce: a larger string, or, for output over the text,
// a string of its own. Returns the output position in its new place.
char* Canonical::make_room(char* o, const char* p) {
  std::size_t written = static_cast<std::size_t>(o - base_);
  std::size_t need =
      written + static_cast<std::size_t>(end_ - p) + kSlack + kMaxDoubleText;
  if (grow_ == nullptr) {
    spill_->resize(need + need / 2);
    std::memcpy(spill_->data(), base_, written);
    grow_ = spill_;
    origin_ = 0;
  } else {
    grow_->resize(std::max(grow_->size() * 2, origin_ + need));
  }
  base_ = grow_->data() + origin_;
  limit_ = grow_->data() + grow_->size();
  return base_ + written;
}

// The sort key of a member whose key has no escape: its written text.
SortKey Canonical::sort_key(const Member& m, std::size_t index) {
  const char* data = base_ + m.key + 1;
  std::size_t size = m.key_end - m.key - 1;
  return SortKey{key_prefix(data, size), data, size, index};
}

// Decodes a key written with (canonical) escapes into its bytes.
void decode_key(const char* s, const char* e, std::string& to) {
  while (s != e) {
    if (*s != '\\') {
      to += *s++;
      continue;
    }
    char c = s[1];
    s += 2;
    switch (c) {
      case 'b': to += '\b'; break;
      case 't': to += '\t'; break;
      case 'n': to += '\n'; break;
      case 'f': to += '\f'; break;
      case 'r': to += '\r'; break;
      case 'u':
        to += static_cast<char>(hex4(s));
        s += 4;
        break;
      default: to += c;  // " and backslash
    }
  }
}

// Re-lays the members of the object that starts at f.start in byte order
// of their keys; of equal keys only the last one stays.
char* Canonical::reorder(const Frame& f, char* o) {
  const std::size_t n = members_.size() - f.first;
  const Member* m = members_.data() + f.first;
  char* base = base_;

  keys_.resize(n);
  for (std::size_t i = 0; i < n; ++i) keys_[i] = sort_key(m[i], i);
  if (f.escaped_keys) {
    // Escaped keys sort by their decoded bytes, collected in decoded_ (with
    // eight bytes of padding for the prefix loads) before any view into it
    // is taken.
    decoded_.clear();
    for (std::size_t i = 0; i < n; ++i) {
      if (!m[i].escaped) continue;
      std::size_t at = decoded_.size();
      decode_key(keys_[i].data, keys_[i].data + keys_[i].size, decoded_);
      keys_[i].size = decoded_.size() - at;
      keys_[i].prefix = at;  // for now: the offset in decoded_
    }
    decoded_.append(8, '\0');
    for (std::size_t i = 0; i < n; ++i) {
      if (!m[i].escaped) continue;
      keys_[i].data = decoded_.data() + keys_[i].prefix;
      keys_[i].prefix = key_prefix(keys_[i].data, keys_[i].size);
    }
  }

  // A stable sort by key: insertion sort for the usual handful of members.
  if (n <= kInsertionSortMax) {
    for (std::size_t i = 1; i < n; ++i) {
      SortKey v = keys_[i];
      std::size_t j = i;
      for (; j > 0 && key_less(v, keys_[j - 1]); --j) keys_[j] = keys_[j - 1];
      keys_[j] = v;
    }
  } else {
    std::stable_sort(keys_.begin(), keys_.end(), key_less);
  }
  // Equal keys sit together in arrival order; keep the last of each run.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + 1 < n && key_equal(keys_[i + 1], keys_[i])) continue;
    keys_[kept++] = keys_[i];
  }

  const std::size_t size = static_cast<std::size_t>(o - base) - f.start;
  if (size <= kSmallObject) {
    // Small: copy the object aside once and lay it out from there.
    moved_.assign(base + f.start, size);
    char* to = base + f.start;
    for (std::size_t i = 0; i < kept; ++i) {
      const Member& mm = m[keys_[i].index];
      if (i > 0) *to++ = ',';
      std::size_t len = mm.end - mm.key;
      std::memcpy(to, moved_.data() + (mm.key - f.start), len);
      to += len;
    }
    return to;
  }

  // Large: the largest member is moved once, in place, and only the others
  // go through the side buffer. When a big value (a file's content, a long
  // result list) sits among a few small members, that is one move of it
  // instead of two copies.
  std::size_t largest = 0;
  for (std::size_t i = 1; i < kept; ++i) {
    const Member& a = m[keys_[i].index];
    const Member& b = m[keys_[largest].index];
    if (a.end - a.key > b.end - b.key) largest = i;
  }
  targets_.resize(kept);
  moved_.clear();
  std::size_t at = f.start;
  for (std::size_t i = 0; i < kept; ++i) {
    const Member& mm = m[keys_[i].index];
    if (i > 0) ++at;  // the comma
    targets_[i] = {at, moved_.size()};
    at += mm.end - mm.key;
    if (i != largest) moved_.append(base + mm.key, mm.end - mm.key);
  }
  const Member& big = m[keys_[largest].index];
  std::memmove(base + targets_[largest].first, base + big.key,
               big.end - big.key);
  for (std::size_t i = 0; i < kept; ++i) {
    if (i > 0) base[targets_[i].first - 1] = ',';
    if (i == largest) continue;
    const Member& mm = m[keys_[i].index];
    std::memcpy(base + targets_[i].first, moved_.data() + targets_[i].second,
                mm.end - mm.key);
  }
  return base + at;
}

}  // namespace

bool append_canonical(std::string& out, std::string_view text,
                      std::size_t max_depth) {
  std::size_t origin = out.size();
  try {
    return Canonical(out, text, max_depth).run().has_value();
  } catch (...) {
    // Only allocation failures can throw here.
    out.resize(std::min(out.size(), origin));
    return false;
  }
}

std::optional<std::string> canonicalize(std::string_view text,
                                       std::size_t max_depth) {
  std::string out;
  if (!append_canonical(out, text, max_depth)) return std::nullopt;
  return out;
}

static_assert(kInPlaceGap >= Canonical::kInPlaceGap);

std::optional<std::string_view> canonicalize_in_place(char* buffer,
                                                      std::size_t to,
                                                      std::size_t from,
                                                      std::size_t size,
                                                      std::string& spill) {
  if (from < to || from - to < kInPlaceGap) return std::nullopt;
  try {
    return Canonical(buffer + to, std::string_view(buffer + from, size), spill)
        .run();
  } catch (...) {
    return std::nullopt;  // allocation failure
  }
}

}  // namespace twk::json
