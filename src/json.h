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
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace twk::json {

using Value = nlohmann::json;

// Arrays and objects may nest this deep; one more level is invalid.
inline constexpr std::size_t kMaxDepth = 127;

// Parses `text` strictly and writes it back in canonical form: compact,
// object members sorted by the bytes of their keys at every depth, of a
// repeated key only the last value, strings re-escaped, numbers in the
// library's form. Nothing when `text` is not valid JSON by the strict rules.
// This path builds no tree, so it stays fast on multi-megabyte input.
std::optional<std::string> canonicalize(std::string_view text);

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
