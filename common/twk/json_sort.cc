// Sorting an object's members in the output, by the bytes of their keys.
#include "twk/json_sort.h"

#include <algorithm>
#include <cstring>

#include "twk/json_scan.h"

namespace twk::json {
namespace {

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

template <class Key>
bool key_less(const Key& a, const Key& b) {
  if (a.prefix != b.prefix) return a.prefix < b.prefix;
  // Equal first eight bytes; a key of eight or fewer bytes is then a prefix
  // of the other.
  if (a.size > 8 && b.size > 8) {
    int c = std::memcmp(a.data + 8, b.data + 8, std::min(a.size, b.size) - 8);
    if (c != 0) return c < 0;
  }
  return a.size < b.size;
}

template <class Key>
bool key_equal(const Key& a, const Key& b) {
  return a.prefix == b.prefix && a.size == b.size &&
         (a.size <= 8 || std::memcmp(a.data + 8, b.data + 8, a.size - 8) == 0);
}

}  // namespace

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
    std::stable_sort(keys_.begin(), keys_.end(), key_less<SortKey>);
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

}  // namespace twk::json
