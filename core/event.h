// The policy request as Core reads it: read once by the common strict
// reader, then turned into a tree for everything but the tool's response.
// The response (a whole file the agent read, a command's output) can be
// megabytes of JSON, and Core only ever records its size and hash, so it
// stays text.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "twk/result.h"

namespace twk::core {

// Deepest nesting of arrays and objects accepted in a policy request. The
// hook accepts hook input nested up to 127 levels and wraps it in one more
// object, so Core must accept one level more than that.
inline constexpr std::size_t kMaxNesting = 128;

class Event {
 public:
  // Reads a request body: a JSON object, nested at most `max_depth` levels
  // (at most json::kMaxWriterDepth), in UTF-8, optionally after a byte
  // order mark. On failure the reason is the message for the 400 reply:
  // "the body contains a NUL byte", "the body is nested too deeply", "the
  // body isn't JSON" or "the body isn't a JSON object".
  static Result<Event> read(std::string_view body,
                            std::size_t max_depth = kMaxNesting);

  // The request with every member, except that input.tool_response is
  // left out.
  const nlohmann::json& value() const { return value_; }

  // The compact JSON text (keys sorted, as json::dump writes it) of
  // input.tool_input and input.tool_response; empty when the request has
  // no such member.
  std::string_view tool_input_text() const { return span(tool_input_); }
  std::string_view tool_response_text() const { return span(tool_response_); }

 private:
  struct Span {
    std::size_t begin = 0;
    std::size_t size = 0;
  };
  std::string_view span(Span s) const {
    return std::string_view(canonical_).substr(s.begin, s.size);
  }

  std::string canonical_;  // the whole body in compact form
  nlohmann::json value_;
  Span tool_input_;
  Span tool_response_;
};

}  // namespace twk::core
