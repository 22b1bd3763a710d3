// The JSON library's own reading of a text under the strict rules of
// twk/json.h: the yardstick that the program's reader is held to by the
// unit tests and the fuzz targets. It shares no code with that reader.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

namespace twk::testing {

// What the library makes of a text.
struct LibraryRead {
  // The value, when the library parses the text and the strict rules allow
  // it; nothing otherwise.
  std::optional<nlohmann::json> value;
  // Whether the library parses the text, however deep it nests.
  bool parsed = false;
  // How deep the text nests (for a text the library parses). The text, not
  // the tree, is what the limit is about: of a repeated key the tree keeps
  // only the last value, which may nest less than an earlier one.
  std::size_t depth = 0;
};

inline LibraryRead library_read(std::string_view text,
                                std::size_t max_depth = 127) {
  LibraryRead read;
  // The library takes a NUL byte for the end of the text, and skips a byte
  // order mark; the strict rules refuse both.
  if (std::memchr(text.data(), '\0', text.size()) != nullptr ||
      text.starts_with("\xEF\xBB\xBF")) {
    return read;
  }
  auto note_depth = [&read](int depth, nlohmann::json::parse_event_t event,
                            nlohmann::json&) {
    // `depth` counts the levels open around the one that starts.
    if (event == nlohmann::json::parse_event_t::object_start ||
        event == nlohmann::json::parse_event_t::array_start) {
      read.depth = std::max(read.depth, static_cast<std::size_t>(depth) + 1);
    }
    return true;
  };
  nlohmann::json value = nlohmann::json::parse(text, note_depth, false);
  read.parsed = !value.is_discarded();
  if (read.parsed && read.depth <= max_depth) read.value = std::move(value);
  return read;
}

}  // namespace twk::testing
