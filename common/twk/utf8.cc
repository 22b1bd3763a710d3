// UTF-8 decoding by the table of well-formed byte sequences.
#include "twk/utf8.h"

#include <cstdint>

namespace twk::utf8 {
namespace {

struct Decoded {
  char32_t cp;
  std::size_t len;  // bytes consumed: the character, or the ill-formed part
  bool ok;
};

Decoded decode(std::string_view s, std::size_t i) {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  if (c < 0x80) return {c, 1, true};
  const auto [len, lo, hi] = lead_byte(c);
  if (len == 0) return {0, 1, false};
  char32_t cp = c & (0x7F >> len);
  for (std::size_t k = 1; k < len; ++k) {
    if (i + k >= s.size()) return {0, k, false};
    unsigned char t = b(i + k);
    unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (t < l || t > h) return {0, k, false};
    cp = (cp << 6) | (t & 0x3F);
  }
  return {cp, len, true};
}

}  // namespace

Lead lead_byte(unsigned char c) {
  Lead lead{0, 0x80, 0xBF};
  if (c >= 0xC2 && c <= 0xDF) {
    lead.length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    lead.length = 3;
    if (c == 0xE0) lead.lo = 0xA0;  // no overlongs
    if (c == 0xED) lead.hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    lead.length = 4;
    if (c == 0xF0) lead.lo = 0x90;  // no overlongs
    if (c == 0xF4) lead.hi = 0x8F;  // nothing above U+10FFFF
  }
  return lead;
}

bool valid(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    // ASCII runs are the common case; skip them eight bytes at a time.
    while (i + 8 <= s.size()) {
      std::uint64_t word;
      __builtin_memcpy(&word, s.data() + i, 8);
      if (word & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= s.size()) break;
    Decoded d = decode(s, i);
    if (!d.ok) return false;
    i += d.len;
  }
  return true;
}

std::string lossy(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    Decoded d = decode(s, i);
    if (d.ok) {
      out.append(s.substr(i, d.len));
    } else {
      out += "\xEF\xBF\xBD";
    }
    i += d.len;
  }
  return out;
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 ||
         c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::vector<std::string_view> split_white_space(std::string_view s) {
  std::vector<std::string_view> words;
  std::size_t i = 0, start = 0;
  bool in_word = false;
  while (i < s.size()) {
    Decoded d = decode(s, i);
    bool space = d.ok && is_white_space(d.cp);
    if (space && in_word) {
      words.push_back(s.substr(start, i - start));
      in_word = false;
    } else if (!space && !in_word) {
      start = i;
      in_word = true;
    }
    i += d.len;
  }
  if (in_word) words.push_back(s.substr(start));
  return words;
}

std::string_view trim_white_space(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    Decoded d = decode(s, begin);
    if (!d.ok || !is_white_space(d.cp)) break;
    begin += d.len;
  }
  std::size_t end = begin;
  std::size_t i = begin;
  while (i < s.size()) {
    Decoded d = decode(s, i);
    i += d.len;
    if (!d.ok || !is_white_space(d.cp)) end = i;
  }
  return s.substr(begin, end - begin);
}

char* encode(char32_t cp, char* out) {
  if (cp > 0x10FFFF) cp = 0xFFFD;
  if (cp < 0x80) {
    *out++ = static_cast<char>(cp);
    return out;
  }
  // The lead byte's marker and how many continuation bytes follow.
  int more = cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
  *out++ = static_cast<char>((0xFF00 >> (more + 1)) | (cp >> (6 * more)));
  for (int shift = 6 * (more - 1); shift >= 0; shift -= 6) {
    *out++ = static_cast<char>(0x80 | ((cp >> shift) & 0x3F));
  }
  return out;
}

void append(std::string& out, char32_t cp) {
  char bytes[4];
  out.append(bytes, encode(cp, bytes));
}

}  // namespace twk::utf8
