// The follower's downloads: which commands fetch from the network, where
// they write what they fetch, and which later commands run it (a shell fed
// by curl, ./install.sh after curl -o install.sh, bash <(wget -O- ...)).

#include "shell/follower.h"

namespace twk::core {
namespace commands {

// The download program among the commands of substitution `group`.
std::string Follower::download_in_group(const shell::Analysis& a,
                                        int group) const {
  for (const shell::Command& c : a.commands) {
    if (c.group != group) continue;
    std::string d = download_of(c.argv);
    if (!d.empty()) return d;
  }
  return {};
}

std::string Follower::download_in_word(const shell::Analysis& a,
                                       const Word& w) const {
  for (int g : w.substitutions) {
    std::string d = download_in_group(a, g);
    if (!d.empty()) return d;
  }
  return {};
}

// The download program that feeds command `i` through its pipeline.
std::string Follower::download_feeding(const shell::Analysis& a,
                                       std::size_t i) const {
  const shell::Command& cmd = a.commands[i];
  if (!(cmd.place & shell::kInPipeline) || cmd.stage == 0) return {};
  for (std::size_t k = i, steps = 0; k-- > 0 && steps < 256; ++steps) {
    const shell::Command& c = a.commands[k];
    if (c.pipeline != cmd.pipeline || c.group != cmd.group) continue;
    if (c.stage >= cmd.stage) continue;
    std::string d = download_of(c.argv);
    if (!d.empty()) return d;
    if (c.stage == 0) break;
  }
  return {};
}

// A download program that `argv` runs, looking past simple wrappers.
std::string Follower::download_of(const std::vector<Word>& argv) {
  for (const Word& w : argv) {
    if (is_option(w) || is_assignment(w)) continue;
    std::string p = program_name(w);
    if (is_download_program(p)) return p;
    if (!has({"sudo", "doas", "env", "command", "nohup", "time", "nice",
              "timeout", "stdbuf", "exec", "torsocks", "proxychains",
              "proxychains4"},
             p)) {
      return {};
    }
  }
  return {};
}

// Where a download tool writes what it fetches: -o/-O FILE, a
// redirection, or (curl -O, wget) the last component of the address.
void Follower::note_download(const std::vector<Word>& argv, const Context& ctx,
                             const shell::Command& source) {
  const std::string p = program_name(argv[0]);
  std::string file;
  bool remote_name = p != "curl";  // wget and kin name the file by default
  std::string url;
  for (std::size_t k = 1; k < argv.size(); ++k) {
    std::string_view t = argv[k].text;
    bool next = k + 1 < argv.size();
    bool cluster = t.size() > 1 && t[0] == '-' && t[1] != '-';
    if ((p == "curl" &&
         (t == "-o" || t == "--output" || (cluster && t.back() == 'o'))) ||
        (p != "curl" && (t == "-O" || t == "--output-document"))) {
      if (next) file = argv[++k].text;
    } else if (p == "curl" && t.size() > 2 && t.starts_with("-o")) {
      file = t.substr(2);
    } else if (t.starts_with("--output-document=") ||
               t.starts_with("--output=")) {
      file = t.substr(t.find('=') + 1);
    } else if (p == "curl" && (t == "-O" || t == "--remote-name" ||
                               (t.size() > 1 && t[0] == '-' && t[1] != '-' &&
                                t.find('O') != std::string::npos))) {
      remote_name = true;
    } else if (t.find("://") != std::string::npos) {
      url = t;
    }
  }
  for (const shell::Redirect& r : source.redirects) {
    if ((r.kind == shell::RedirectKind::kOutput ||
         r.kind == shell::RedirectKind::kAppend) &&
        r.fd <= 1 && !r.target.unknown) {
      file = r.target.text;
    }
  }
  if (file.empty() && remote_name && !url.empty()) {
    std::string_view u = url;
    u = u.substr(0, u.find_first_of("?#"));
    std::size_t scheme = u.find("://");
    u = scheme == std::string_view::npos ? std::string_view()
                                         : u.substr(scheme + 3);
    std::size_t slash = u.rfind('/');
    if (slash != std::string_view::npos && slash + 1 < u.size()) {
      file = std::string(u.substr(slash + 1));
    }
  }
  if (file.empty() || file == "-" ||
      file.find(shell::kUnknown) != std::string::npos) {
    return;
  }
  std::string path = shell::resolve_path(ctx.cwd, file);
  if (!path.empty() && downloads_.size() < 64) {
    downloads_.emplace_back(std::move(path), p);
  }
}

// The download tool that fetched the file `w` names, if any did.
std::string Follower::downloaded_file(const Word& w, const Context& ctx) const {
  if (w.unknown || downloads_.empty()) return {};
  std::string path = shell::resolve_path(ctx.cwd, w.text);
  for (const auto& [file, tool] : downloads_) {
    if (file == path) return tool;
  }
  return {};
}

}  // namespace commands

}  // namespace twk::core
