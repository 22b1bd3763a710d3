// Putting the members of an object the canonical writer has just written
// into byte order of their keys. Only the JSON module's own files use this
// header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace twk::json {

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
  // A key prepared for sorting: its first eight bytes as a big-endian
  // number (zero-padded), so that most comparisons are one integer
  // comparison.
  struct SortKey {
    std::uint64_t prefix;
    const char* data;
    std::size_t size;
    std::size_t index;
  };

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

}  // namespace twk::json
