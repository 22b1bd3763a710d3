// The word builder of the shell analyzer: collects the parts of one word
// (literal text, glob characters, unknown values, expansion results) as
// the reader meets them, and splits unquoted expansions into fields the
// way the shell would.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shell/shell.h"

namespace twk::core::shell {

// The field separators every shell starts with: bash sets IFS itself and
// never takes it from the environment.
inline constexpr std::string_view kDefaultIfs = " \t\n";

// Builds the fields of one word as its parts are read.
class Fields {
 public:
  Fields() = default;
  // Fields that go straight into `sink` as they are completed (a command's
  // words): no vector of their own to build and free for each word.
  explicit Fields(std::vector<Word>* sink) : sink_(sink) {}

  // Text taken as written; `quoted` marks it as coming from quotes.
  void literal(std::string_view text, bool quoted) {
    cur_.text += text;
    started_ = true;
    ended_by_white_ = false;
    if (quoted) cur_.quoted = true;
    // Text an earlier analysis made holds its unknown parts as kUnknown,
    // quoted or not; they stay unknown here.
    if (text.find(kUnknown) != std::string_view::npos) cur_.unknown = true;
  }
  // Unquoted text known to hold no kUnknown byte.
  void plain(std::string_view text) {
    cur_.text += text;
    started_ = true;
    ended_by_white_ = false;
  }
  // An unquoted *, ?, [ or brace that makes the word a pattern.
  void glob(char c) {
    cur_.text += c;
    cur_.glob = true;
    started_ = true;
    ended_by_white_ = false;
  }
  // A part whose value cannot be known.
  void unknown(bool quoted) {
    cur_.text += kUnknown;
    cur_.unknown = true;
    started_ = true;
    ended_by_white_ = false;
    if (quoted) cur_.quoted = true;
  }
  // An expansion's value; unquoted values are split into fields when
  // `split` is set, at the characters of `ifs` as the shell's IFS says.
  // Nothing stands for an unknown value.
  void value(const std::optional<std::string>& v, bool quoted, bool split,
             std::string_view ifs = kDefaultIfs);
  // Ends the current field, even an empty one: "$@" makes one field of
  // each positional parameter.
  void separate() {
    started_ = true;
    flush();
    ended_by_white_ = false;
  }
  // Notes that substitution group `group` fed the current field.
  void substitution(int group) { cur_.substitutions.push_back(group); }
  // Marks the current field as holding a value from outside the text.
  void mark_outside() { cur_.outside = true; }
  // Marks the current field as a process substitution.
  void mark_process() { cur_.process = true; }
  bool started() const { return started_; }
  // The fields read so far (none when they went to a sink); the builder
  // is left empty.
  std::vector<Word> finish() {
    if (started_) flush();
    ended_by_white_ = false;
    return std::move(fields_);
  }
  // All fields as one word, for places where no splitting happens.
  Word joined();

 private:
  void flush();

  std::vector<Word>* sink_ = nullptr;
  std::vector<Word> fields_;
  Word cur_;
  bool started_ = false;
  // An expansion's field just ended at IFS white space: a separator that
  // follows, in this expansion or the next one of the word, belongs to it.
  bool ended_by_white_ = false;
};

}  // namespace twk::core::shell
