// Helpers shared by Core's tests.
#pragma once

#include <string>

#include "twk/testing/scratch_dir.h"

namespace twk::core::testing {

// The one temporary directory of all tests.
using twk::testing::ScratchDir;

// The permission bits of `path` (lstat), or -1 when it does not exist.
int file_mode(const std::string& path);

// Writes `text` to `path`, replacing what was there.
void write_text(const std::string& path, const std::string& text);

// Replaces the file at `path` by renaming a new one over it, as many
// editors save: each version is a new inode.
void replace_text(const std::string& path, const std::string& text);

}  // namespace twk::core::testing
