// Helpers shared by Core's tests.
#pragma once

#include <string>

#include "twk/testing/contains.h"
#include "twk/testing/scratch_dir.h"

namespace twk::core::testing {

// The one temporary directory of all tests, and its helpers.
using twk::testing::Contains;
using twk::testing::dir_entries;
using twk::testing::path_mode;
using twk::testing::ScratchDir;

// Writes `text` to `path`, replacing what was there.
void write_text(const std::string& path, const std::string& text);

// Replaces the file at `path` by renaming a new one over it, as many
// editors save: each version is a new inode.
void replace_text(const std::string& path, const std::string& text);

}  // namespace twk::core::testing
