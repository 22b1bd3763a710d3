// The one adapter over the JSON library. Everything the program reads as
// JSON (the hook input, Core's answer, the state records) goes through the
// strict parser here, and everything it writes comes out of the compact,
// key-sorted writer here.
//
// The strict rules on top of the library: no NUL byte anywhere, no byte order
// mark, at most 127 levels of nesting (checked while parsing, so hostile
// input cannot exhaust the stack), strings in valid UTF-8 without raw
// control characters, nothing but white space after the value.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace twk::json {

using Value = nlohmann::json;

// Arrays and objects may nest this deep; one more level is invalid.
inline constexpr std::size_t kMaxDepth = 127;

// The deepest nesting canonicalize() can be asked to accept. Core reads the
// hook's request, which wraps a hook input of kMaxDepth levels in one more
// object.
inline constexpr std::size_t kMaxWriterDepth = kMaxDepth + 1;

// Parses `text` strictly and writes it back in canonical form: compact,
// object members sorted by the bytes of their keys at every depth, of a
// repeated key only the last value, strings re-escaped, numbers in the
// library's form. Nothing when `text` is not valid JSON by the strict rules.
// The result is byte for byte dump(*parse(text)), but this path builds no
// tree and is fast on multi-megabyte input. `max_depth` (at most
// kMaxWriterDepth) replaces the nesting limit.
std::optional<std::string> canonicalize(std::string_view text,
                                        std::size_t max_depth = kMaxDepth);

// canonicalize() appending to `out`, so that a larger text can be built
// around the result without copying it. On false `out` is left as it was.
bool append_canonical(std::string& out, std::string_view text,
                      std::size_t max_depth = kMaxDepth);

// How far in front of the text canonicalize_in_place() must start writing.
inline constexpr std::size_t kInPlaceGap = 256;

// canonicalize() over the text itself, for large texts that are not needed
// afterwards: the text is buffer[from, from + size), and its canonical form
// is written from buffer + to on, over it (from - to >= kInPlaceGap; what
// lies before `to` is kept). Returns the canonical text: in `buffer`, where
// at least one more byte may be written after it, or, if it outgrew the
// text (some numbers are written longer than they came), in `spill`.
// Nothing when the text is not valid JSON; the text is lost either way.
std::optional<std::string_view> canonicalize_in_place(char* buffer,
                                                      std::size_t to,
                                                      std::size_t from,
                                                      std::size_t size,
                                                      std::string& spill);

// Parses `text` strictly into a value. Nothing when it is not valid JSON.
std::optional<Value> parse(std::string_view text);

// Writes `value` compactly with sorted keys; never fails. Strings that are
// not valid UTF-8 (which `parse` never produces) get U+FFFD replacements.
std::string dump(const Value& value);

// Appends `s` as a JSON string literal, quotes included: `"` and `\` get a
// backslash, \b \t \n \f \r their short forms, other bytes below 0x20 become
// \u00xx in lower-case hex, and everything else is copied as it is.
void append_string(std::string& out, std::string_view s);

}  // namespace twk::json
