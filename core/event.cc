// Reading a policy request through the common strict reader: the body is
// rewritten in canonical form, split into members, and only the members
// that are needed as values become trees.
#include "event.h"

#include "twk/json.h"

namespace twk::core {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The reply's words for the reader's reasons.
std::string reply_reason(std::string_view reason) {
  if (reason == json::kHasNul) return "the body contains a NUL byte";
  if (reason == json::kTooDeep) return "the body is nested too deeply";
  return "the body isn't JSON";
}

}  // namespace

Result<Event> Event::read(std::string_view body, std::size_t max_depth) {
  // Core has always taken a body behind one byte order mark, as many JSON
  // readers do, and says so; a client may send one. The strict reader
  // refuses it (the hook never writes one), so it is taken off here.
  if (body.starts_with(kByteOrderMark))
    body.remove_prefix(kByteOrderMark.size());

  Event event;
  Status read = json::append_canonical(event.canonical_, body, max_depth);
  if (!read) return Failure{reply_reason(read.reason())};
  const std::string& c = event.canonical_;
  if (c.front() != '{') return Failure{"the body isn't a JSON object"};

  event.value_ = nlohmann::json::object();
  for (const json::MemberText& m : json::members(c)) {
    if (m.key != "input" || m.value.front() != '{') {
      event.value_[m.key] = json::parse_canonical(m.value);
      continue;
    }
    nlohmann::json input = nlohmann::json::object();
    for (const json::MemberText& im : json::members(m.value)) {
      Span span{static_cast<std::size_t>(im.value.data() - c.data()),
                im.value.size()};
      // The response stays text: it can be megabytes, and Core only ever
      // records its size and hash.
      if (im.key == "tool_response") {
        event.tool_response_ = span;
        continue;
      }
      if (im.key == "tool_input") event.tool_input_ = span;
      input[im.key] = json::parse_canonical(im.value);
    }
    event.value_["input"] = std::move(input);
  }
  return event;
}

}  // namespace twk::core
