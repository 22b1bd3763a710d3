// The one JSON reader and writer of both programs. Everything read as JSON
// (the hook input, Core's answer, the state records, Core's request bodies,
// audit lines, the event `twk-backend explain` is given) goes through the
// strict reader here, and everything written comes out compact and
// key-sorted from here. The one exception, the agent host's settings file,
// is read where it is edited (core/install.cc), which says why.
//
// The strict rules: no NUL byte anywhere, no byte order mark, at most 127
// levels of nesting (checked while reading, so hostile input cannot exhaust
// the stack), strings in valid UTF-8 without raw control characters or lone
// surrogate escapes, numbers that are finite as doubles, nothing but white
// space after the value.
//
// Reading is one pass that checks the text and writes its canonical form:
// compact, object members sorted by the bytes of their keys at every depth,
// of a repeated key only the last value, strings re-escaped, numbers in the
// library's form. A tree, where one is needed, is built from that form.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "twk/result.h"

namespace twk::json {

using Value = nlohmann::json;

// Arrays and objects may nest this deep; one more level is invalid.
inline constexpr std::size_t kMaxDepth = 127;

// The deepest nesting a reader can be asked to accept. Core reads the
// hook's request, which wraps a hook input of kMaxDepth levels in one more
// object.
inline constexpr std::size_t kMaxWriterDepth = kMaxDepth + 1;

// Why a text was refused: the reason of every failed read below. A NUL byte
// is reported before anything else.
inline constexpr std::string_view kHasNul = "the text contains a NUL byte";
inline constexpr std::string_view kTooDeep = "the text is nested too deeply";
inline constexpr std::string_view kNotJson = "the text isn't JSON";

// The canonical form of `text`, read by the strict rules with `max_depth`
// (at most kMaxWriterDepth) in place of the nesting limit. It is byte for
// byte dump(*parse(text)), but built without a tree.
Result<std::string> canonicalize(std::string_view text,
                                 std::size_t max_depth = kMaxDepth);

// canonicalize() appending to `out`, so that a larger text can be built
// around the result without copying it. On failure `out` is as it was.
Status append_canonical(std::string& out, std::string_view text,
                        std::size_t max_depth = kMaxDepth);

// The free memory frame_canonical() needs in front of a text, besides the
// head it puts there.
inline constexpr std::size_t kFrameGap = 256;

// head + canonicalize(text) + tail, built over the text itself. This is for
// large texts that are not needed afterwards: a multi-megabyte copy costs a
// page fault for every 4 KiB of fresh memory it touches.
//
// `memory` holds `room` free bytes and then the `size` bytes of the text;
// all of those are the writer's, and nothing after them. The result lies in
// `memory`, unless the head is longer than room - kFrameGap, or some numbers
// came out longer than they were written and the output caught up with the
// reading: then it lies in `spill`. The text is lost either way, so a failure
// gives kTooDeep or kNotJson but does not tell a NUL byte apart.
Result<std::string_view> frame_canonical(char* memory, std::size_t room,
                                         std::size_t size,
                                         std::string_view head,
                                         std::string_view tail,
                                         std::string& spill);

// The value of `text`, read by the strict rules.
Result<Value> parse(std::string_view text, std::size_t max_depth = kMaxDepth);

// The value of a canonical text, as canonicalize() wrote it (or of the text
// of one value in it), read without checking again what the writer checked.
// Other text is never read past its end, and where it does not have the
// canonical form the value is a discarded one; but it is no strict read.
Value parse_canonical(std::string_view canonical);

// A member of a canonical object: its key, and the canonical text of its
// value, which points into the object's text.
struct MemberText {
  std::string key;
  std::string_view value;
};

// The members of the canonical text of an object, in key order; nothing
// for an empty object or any text that is not a canonical object.
std::vector<MemberText> members(std::string_view canonical);

// Writes `value` compactly with sorted keys; never fails. Strings that are
// not valid UTF-8 (which `parse` never produces) get U+FFFD replacements.
std::string dump(const Value& value);

// Appends `s` as a JSON string literal, quotes included: `"` and `\` get a
// backslash, \b \t \n \f \r their short forms, other bytes below 0x20 become
// \u00xx in lower-case hex, and everything else is copied as it is.
void append_string(std::string& out, std::string_view s);

}  // namespace twk::json
