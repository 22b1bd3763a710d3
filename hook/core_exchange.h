// The policy exchange at the level of JSON: what the hook says to Core about
// one event, how it judges Core's answer, the "ask" output that stands in for
// a decision when there is none, and writing the agent's hook output.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "hook_input.h"
#include "http/client.h"
#include "twk/json.h"
#include "twk/result.h"
#include "twk/sys/clock.h"

namespace twk {

// What the agent host gets on standard output: one JSON value written as one
// line, or nothing at all.
using HookOutput = std::optional<json::Value>;

inline constexpr std::string_view kPreToolUse = "pre-tool-use";
inline constexpr std::string_view kPostToolUse = "post-tool-use";

// The reason for an input that was not read to its end (see HookInput).
inline constexpr std::string_view kInputTooLarge =
    "the hook input is larger than Core accepts (64 MiB)";

// The body of POST /v1/policy/hook: {"agent":..,"context":..,"hook":..,
// "input":..} with "input" the hook input re-written canonically and
// "context" {"projectDir":..} or {}. Fails with "the hook input wasn't JSON",
// or with kInputTooLarge when read_all stopped at HookInput::kMaxSize.
//
// The body is built in the input's own memory, over the input: afterwards
// the input's bytes are gone, and the body lives as long as `input`.
Result<std::string_view> policy_request_body(
    std::string_view agent, std::string_view hook, HookInput& input,
    const std::optional<std::string>& project_dir);

// Core's "output" for a 200 answer whose body is an object with an "output"
// member (null meaning no output; only pre-tool-use ever gets one);
// otherwise the unchecked-call output with "Core's answer wasn't valid", or
// "Core answered {status}" for any status but 200.
HookOutput judge_core_answer(std::string_view hook,
                             const http::Response& response);

// For pre-tool-use, the "ask" decision whose message says that the call was
// not checked and why; for any other hook, nothing.
HookOutput unchecked_call_output(std::string_view hook,
                                 std::string_view reason);

// The output line exactly as written: compact JSON plus "\n"; empty for
// no output.
std::string hook_output_line(const HookOutput& output);

// Writes the output line to standard output, as one write where the pipe
// takes it. A write still blocked at `deadline` (a host that does not read)
// is given up, as is a failed one; nothing is ever written to standard
// error.
void write_hook_output(const HookOutput& output, sys::Instant deadline);

}  // namespace twk
