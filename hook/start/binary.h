// Choosing the Core binary, and the executable a running Core shows as its
// process image (the binary itself, or the interpreter of a "#!" script).
#pragma once

#include <optional>
#include <string>

#include "config.h"
#include "twk/result.h"

namespace twk::start {

// The Core binary: TWK_CORE_BINARY as given; else "twk-backend" beside the
// hook executable when it is a regular file; else the runtime record's
// binary. Fails with "no Core binary was found". A source is consulted only
// when the earlier ones are absent.
Result<std::string> find_core_binary(const HookConfig& config);

// The absolute, fully resolved executable that a process started from
// `binary` runs: the binary's canonical path, or for a "#!" script the
// canonical path of its interpreter (after "env", the first word not
// starting with "-", looked up along `path_env`). Fails with
// "no Core binary at {binary}".
Result<std::string> expected_executable(
    const std::string& binary, const std::optional<std::string>& path_env);

}  // namespace twk::start
