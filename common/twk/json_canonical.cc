// The strict reader: one pass over a JSON text that checks it and writes
// its canonical form as it goes.
//
// This is the program's own small reader and not the library's, because it
// is the one place where the size of a JSON text matters: an event can
// carry megabytes (a whole file a tool read, a large query result), and the
// agent waits for the hook on every tool call. The library's parser reads a
// character at a time and copies every string twice before a writer sees
// it. Here strings are checked and copied in blocks straight into the
// output (json_scan.cc), and integers, whose text is already canonical when
// they fit 64 bits, are copied as they are.
//
// Acceptance and output are held to the library's own parse and dump by
// the unit tests and by the differential fuzz target
// fuzz/json_canonical_fuzz.cc.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "twk/json.h"
#include "twk/json_double.h"
#include "twk/json_scan.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace twk::json {
namespace {

using scan::kInvalid;
using scan::Pos;

// What a failed allocation is reported as.
constexpr std::string_view kNoMemory = "there isn't memory enough for the text";

// Copies `n` bytes from `from` to `o`; sixteen bytes must be writable.
[[gnu::always_inline]] inline char* copy_short(char* o, const char* from,
                                               std::size_t n, const char* end) {
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

// Objects up to this many members are sorted by insertion.
constexpr std::size_t kInsertionSortMax = 32;
// Objects up to this many bytes are re-laid from one copy of the whole.
constexpr std::size_t kSmallObject = 64 * 1024;

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

// A key prepared for sorting: its first eight bytes as a big-endian
// number (zero-padded), so that most comparisons are one integer
// comparison.
struct SortKey {
  std::uint64_t prefix;
  const char* data;
  std::size_t size;
  std::size_t index;
};

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

// One member of an object in the output: where its key starts (the opening
// quote) and ends (the closing quote), and where its value ends, as offsets
// from the start of the output.
struct Member {
  std::size_t key;
  std::size_t key_end;
  std::size_t end;
  bool escaped;  // the written key holds an escape, so its text is not its
                 // bytes
};

class MemberSorter {
 public:
  // Re-lays the members `m[0, n)` of an object, written in the output that
  // starts at `base` from offset `start` (just past the opening brace) up
  // to `o`, in byte order of their keys; of equal keys only the last one
  // stays. `escaped_keys` says whether any key holds an escape; eight bytes
  // past `o` must be readable. Returns the new end of the object's members.
  char* sort(char* base, std::size_t start, const Member* m, std::size_t n,
             bool escaped_keys, char* o);

 private:
  void sort_keys(char* base, const Member* m, std::size_t n, bool escaped_keys);
  char* lay_out_small(char* base, std::size_t start, const Member* m,
                      std::size_t kept, char* o);
  char* lay_out_large(char* base, std::size_t start, const Member* m,
                      std::size_t kept);

  // Reused from object to object.
  std::vector<SortKey> keys_;
  std::vector<std::pair<std::size_t, std::size_t>> targets_;
  std::string decoded_;
  std::string moved_;
};

// Fills keys_ with the members' keys in stable byte order.
void MemberSorter::sort_keys(char* base, const Member* m, std::size_t n,
                             bool escaped_keys) {
  keys_.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const char* data = base + m[i].key + 1;
    std::size_t size = m[i].key_end - m[i].key - 1;
    keys_[i] = SortKey{key_prefix(data, size), data, size, i};
  }
  if (escaped_keys) {
    // Escaped keys sort by their decoded bytes, collected in decoded_ (with
    // eight bytes of padding for the prefix loads) before any view into it
    // is taken.
    decoded_.clear();
    for (std::size_t i = 0; i < n; ++i) {
      if (!m[i].escaped) continue;
      std::size_t at = decoded_.size();
      scan::decode_canonical(keys_[i].data, keys_[i].data + keys_[i].size,
                             decoded_);
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
  // A stable sort: insertion sort for the usual handful of members.
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
}

char* MemberSorter::sort(char* base, std::size_t start, const Member* m,
                         std::size_t n, bool escaped_keys, char* o) {
  sort_keys(base, m, n, escaped_keys);
  // Equal keys sit together in arrival order; keep the last of each run.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + 1 < n && key_equal(keys_[i + 1], keys_[i])) continue;
    keys_[kept++] = keys_[i];
  }
  if (static_cast<std::size_t>(o - base) - start <= kSmallObject) {
    return lay_out_small(base, start, m, kept, o);
  }
  return lay_out_large(base, start, m, kept);
}

// Copies the object aside once and lays it out from there.
char* MemberSorter::lay_out_small(char* base, std::size_t start,
                                  const Member* m, std::size_t kept, char* o) {
  moved_.assign(base + start, static_cast<std::size_t>(o - base) - start);
  char* to = base + start;
  for (std::size_t i = 0; i < kept; ++i) {
    const Member& mm = m[keys_[i].index];
    if (i > 0) *to++ = ',';
    std::size_t len = mm.end - mm.key;
    std::memcpy(to, moved_.data() + (mm.key - start), len);
    to += len;
  }
  return to;
}

// Moves the largest member once, in place, and only the others through the
// side buffer. When a big value (a file's content, a long result list)
// sits among a few small members, that is one move of it instead of two
// copies.
char* MemberSorter::lay_out_large(char* base, std::size_t start,
                                  const Member* m, std::size_t kept) {
  std::size_t largest = 0;
  for (std::size_t i = 1; i < kept; ++i) {
    const Member& a = m[keys_[i].index];
    const Member& b = m[keys_[largest].index];
    if (a.end - a.key > b.end - b.key) largest = i;
  }
  targets_.resize(kept);
  moved_.clear();
  std::size_t at = start;
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

// An open object: where its members start in the output, its first entry
// in the writer's member list, and what is known of its keys so far.
struct Frame {
  std::size_t start;
  std::size_t first;
  bool sorted;        // keys arrived in strictly increasing order
  bool escaped_keys;  // some member's key holds an escape
};

// The writer. Its output goes either after what a string already holds,
// growing the string when needed, or over the text itself, starting a
// little before it. Every step but a number writes at most as much as it
// read, so output over the text stays behind the reading; only a number
// can make it move to a string of its own.
class Writer {
 public:
  // Output into `out`, after what it holds.
  Writer(std::string& out, std::string_view text, std::size_t max_depth)
      : begin_(text.data()),
        end_(text.data() + text.size()),
        max_depth_(std::min(max_depth, kMaxWriterDepth)),
        grow_(&out),
        origin_(out.size()) {
    out.resize(origin_ + text.size() + kSlack);
    base_ = out.data();
    limit_ = out.data() + out.size();
  }

  // Output over the text, from base + origin on (the bytes before it are
  // kept); `spill` takes it over, with those bytes, if it catches up with
  // the reading. base + origin must lie kFrameGap or more before the text.
  Writer(char* base, std::size_t origin, std::string_view text,
         std::string& spill)
      : begin_(text.data()),
        end_(text.data() + text.size()),
        max_depth_(kMaxDepth),
        spill_(&spill),
        origin_(origin),
        base_(base) {}

  // Writes the canonical form; its end (in the string that now holds the
  // output, if any), or null when the text is invalid.
  char* run() {
    Pos at = value({skip_space(begin_), base_ + origin_}, 0);
    if (at.p == nullptr || skip_space(at.p) != end_) return nullptr;
    return at.o;
  }

  bool too_deep() const { return too_deep_; }
  // The string that holds the output, or null while it is over the text.
  std::string* grown() const { return grow_; }

  // When the output goes to a string: room kept beyond what the unread
  // text can produce, for the block copies (up to 64 bytes) and the
  // eight-byte key prefix loads.
  static constexpr std::size_t kSlack = 80;
  // When the output goes over the text: the distance it keeps from the
  // reading position, so that a block store (up to 64 bytes) never reaches
  // unread text.
  static constexpr std::size_t kBehind = 64;

 private:
  Pos value(Pos at, std::size_t depth);
  Pos array(Pos at, std::size_t depth);
  Pos object(Pos at, std::size_t depth);
  Pos member(Pos at, Frame& f, std::size_t depth);
  void note_key(Frame& f, std::size_t key, std::size_t key_end, bool escaped);
  Pos word(Pos at, std::string_view word);
  Pos number(Pos at);
  char* room_for_double(char* o, const char* p);

  const char* skip_space(const char* p) const {
    while (p != end_ && scan::is_space(*p)) ++p;
    return p;
  }
  std::size_t offset(const char* o) const {
    return static_cast<std::size_t>(o - base_);
  }
  Pos refuse_depth() {
    too_deep_ = true;
    return kInvalid;
  }

  const char* const begin_;
  const char* const end_;
  const std::size_t max_depth_;
  std::string* grow_ = nullptr;   // the string that holds the output, if any
  std::string* spill_ = nullptr;  // where output over the text moves to
  std::size_t origin_;            // where the canonical text starts
  char* base_;                    // the start of the output's memory
  char* limit_ = nullptr;         // the end of *grow_'s storage
  bool too_deep_ = false;

  std::vector<Member> members_;  // of all open objects, innermost last
  MemberSorter sorter_;
};

// One value; white space before it is already skipped. Arrays and objects
// recurse, at most max_depth_ levels: the limit is checked before a level
// is opened.
Pos Writer::value(Pos at, std::size_t depth) {
  if (at.p == end_) return kInvalid;
  switch (*at.p) {
    case '{':
      return object(at, depth + 1);
    case '[':
      return array(at, depth + 1);
    case '"': {
      bool escaped = false;
      return scan::string(at, end_, escaped);
    }
    case 't':
      return word(at, "true");
    case 'f':
      return word(at, "false");
    case 'n':
      return word(at, "null");
    default:
      return number(at);
  }
}

Pos Writer::array(Pos at, std::size_t depth) {
  if (depth > max_depth_) return refuse_depth();
  *at.o++ = *at.p++;
  at.p = skip_space(at.p);
  if (at.p != end_ && *at.p == ']') {
    *at.o++ = *at.p++;
    return at;
  }
  for (;;) {
    at = value(at, depth);
    if (at.p == nullptr) return kInvalid;
    at.p = skip_space(at.p);
    if (at.p == end_) return kInvalid;
    char c = *at.p++;
    *at.o++ = c;
    if (c == ']') return at;
    if (c != ',') return kInvalid;
    at.p = skip_space(at.p);
  }
}

// An object's members are written as they come; unless their keys came in
// order, they are re-laid once the object is closed.
Pos Writer::object(Pos at, std::size_t depth) {
  if (depth > max_depth_) return refuse_depth();
  *at.o++ = *at.p++;
  Frame f{offset(at.o), members_.size(), true, false};
  at.p = skip_space(at.p);
  if (at.p != end_ && *at.p == '}') {
    *at.o++ = *at.p++;
    return at;
  }
  for (;;) {
    at = member(at, f, depth);
    if (at.p == nullptr) return kInvalid;
    at.p = skip_space(at.p);
    if (at.p == end_) return kInvalid;
    char c = *at.p++;
    if (c == '}') break;
    if (c != ',') return kInvalid;
    *at.o++ = ',';
    at.p = skip_space(at.p);
  }
  if (!f.sorted) {
    at.o = sorter_.sort(base_, f.start, members_.data() + f.first,
                        members_.size() - f.first, f.escaped_keys, at.o);
  }
  *at.o++ = '}';
  members_.resize(f.first);
  return at;
}

// A member: its key, written like any string and remembered for ordering,
// then the colon and the value.
Pos Writer::member(Pos at, Frame& f, std::size_t depth) {
  if (at.p == end_ || *at.p != '"') return kInvalid;
  std::size_t key = offset(at.o);
  bool escaped = false;
  at = scan::string(at, end_, escaped);
  if (at.p == nullptr) return kInvalid;
  note_key(f, key, offset(at.o) - 1, escaped);
  at.p = skip_space(at.p);
  if (at.p == end_ || *at.p != ':') return kInvalid;
  *at.o++ = *at.p++;
  at.p = skip_space(at.p);
  at = value(at, depth);
  if (at.p != nullptr) members_.back().end = offset(at.o);
  return at;
}

void Writer::note_key(Frame& f, std::size_t key, std::size_t key_end,
                      bool escaped) {
  if (escaped) f.escaped_keys = true;
  if (f.sorted && members_.size() > f.first) {
    const Member& last = members_.back();
    if (escaped || last.escaped) {
      // Escaped keys are compared by their bytes when sorting; deciding
      // here is not worth it.
      f.sorted = false;
    } else {
      std::string_view a(base_ + last.key + 1, last.key_end - last.key - 1);
      std::string_view b(base_ + key + 1, key_end - key - 1);
      // The first bytes usually decide.
      if (!a.empty() && !b.empty() && a[0] != b[0]) {
        f.sorted =
            static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]);
      } else if (!(a < b)) {
        f.sorted = false;
      }
    }
  }
  members_.push_back(Member{key, key_end, 0, escaped});
}

Pos Writer::word(Pos at, std::string_view word) {
  if (static_cast<std::size_t>(end_ - at.p) < word.size() ||
      std::memcmp(at.p, word.data(), word.size()) != 0) {
    return kInvalid;
  }
  std::memcpy(at.o, at.p, word.size());
  return {at.p + word.size(), at.o + word.size()};
}

Pos Writer::number(Pos at) {
  scan::NumberText number = scan::number_text(at.p, end_);
  if (number.end == nullptr) return kInvalid;
  if (number.fits) {
    // The text of a 64-bit integer is already canonical, except that -0 is
    // the integer 0.
    if (at.p[0] == '-' && at.p[1] == '0') {
      *at.o++ = '0';
    } else {
      at.o = copy_short(at.o, at.p, static_cast<std::size_t>(number.end - at.p),
                        end_);
    }
  } else {
    // Any other number is a double, and may be written longer than it came.
    double value;
    Decimal decimal;
    if (!scan::to_double(at.p, number.end, value, decimal)) return kInvalid;
    at.o = write_double(room_for_double(at.o, number.end), value, decimal);
  }
  at.p = number.end;
  return at;
}

// Makes sure that a double and whatever the rest of the text (from `p` on)
// can produce fit after `o`: by growing the string, or, for output over the
// text, by moving it to the spill string. Returns `o` in its new place.
char* Writer::room_for_double(char* o, const char* p) {
  std::size_t left = static_cast<std::size_t>(end_ - p);
  bool room = grow_ == nullptr
                  ? static_cast<std::size_t>(p - o) >= kBehind + kMaxDoubleText
                  : static_cast<std::size_t>(limit_ - o) >=
                        left + kSlack + kMaxDoubleText;
  if (room) return o;
  std::size_t written = offset(o);
  std::size_t need = written + left + kSlack + kMaxDoubleText;
  if (grow_ == nullptr) {
    spill_->resize(need + need / 2);
    std::memcpy(spill_->data(), base_, written);
    grow_ = spill_;
  } else {
    grow_->resize(std::max(grow_->size() * 2, need));
  }
  base_ = grow_->data();
  limit_ = grow_->data() + grow_->size();
  return base_ + written;
}

static_assert(kFrameGap >= Writer::kBehind + Writer::kSlack);

Failure refusal(std::string_view text, bool too_deep) {
  if (std::memchr(text.data(), '\0', text.size()) != nullptr) {
    return Failure{std::string(kHasNul)};
  }
  return Failure{std::string(too_deep ? kTooDeep : kNotJson)};
}

}  // namespace

Status append_canonical(std::string& out, std::string_view text,
                        std::size_t max_depth) {
  const std::size_t origin = out.size();
  try {
    Writer writer(out, text, max_depth);
    char* end = writer.run();
    if (end != nullptr) {
      out.resize(static_cast<std::size_t>(end - out.data()));
      return Ok{};
    }
    out.resize(origin);
    return refusal(text, writer.too_deep());
  } catch (...) {
    // Only allocation failures can throw here.
    out.resize(std::min(out.size(), origin));
    return Failure{std::string(kNoMemory)};
  }
}

Result<std::string> canonicalize(std::string_view text, std::size_t max_depth) {
  std::string out;
  Status read = append_canonical(out, text, max_depth);
  if (!read) return Failure{read.reason()};
  return out;
}

Result<std::string_view> frame_canonical(char* memory, std::size_t room,
                                         std::size_t size,
                                         std::string_view head,
                                         std::string_view tail,
                                         std::string& spill) {
  std::string_view text(memory + room, size);
  if (head.size() + kFrameGap > room) {
    spill.assign(head);
    Status read = append_canonical(spill, text);
    if (!read) return Failure{read.reason()};
    spill.append(tail);
    return std::string_view(spill);
  }
  try {
    char* base = memory + room - kFrameGap - head.size();
    std::memcpy(base, head.data(), head.size());
    Writer writer(base, head.size(), text, spill);
    char* end = writer.run();
    if (end == nullptr) {
      return Failure{std::string(writer.too_deep() ? kTooDeep : kNotJson)};
    }
    if (writer.grown() == nullptr) {
      // The output stays kBehind bytes behind the end of the text, so the
      // tail fits; checked all the same.
      if (static_cast<std::size_t>(memory + room + size - end) >= tail.size()) {
        std::memcpy(end, tail.data(), tail.size());
        return std::string_view(
            base, static_cast<std::size_t>(end - base) + tail.size());
      }
      spill.assign(base, end);
    } else {
      spill.resize(static_cast<std::size_t>(end - spill.data()));
    }
    spill.append(tail);
    return std::string_view(spill);
  } catch (...) {
    return Failure{std::string(kNoMemory)};
  }
}

}  // namespace twk::json
