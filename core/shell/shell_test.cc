// The shell analyzer: what it says a command line runs, for the
// constructs where a guard that reads text goes wrong, and how it fails
// safe on what it cannot follow.
#include "shell/shell.h"

#include <gtest/gtest.h>

#include <span>

#include "shell/commands.h"

namespace twk::core::shell {
namespace {

Environment env() {
  Environment e;
  e.cwd = "/home/u/app";
  e.variables = {{"HOME", "/home/u"}, {"TMPDIR", "/tmp"}};
  return e;
}

// The commands as one line each: words joined by '|', unknown parts as
// '?', globs marked with '*' after the word, and "@cwd" when it moved.
std::string render(const Analysis& a) {
  std::string out;
  for (const Command& c : a.commands) {
    if (!out.empty()) out += " ; ";
    for (const auto& [name, value] : c.assignments) {
      out += name + "=" + value.text + " ";
    }
    for (std::size_t k = 0; k < c.argv.size(); ++k) {
      if (k > 0) out += '|';
      for (char ch : c.argv[k].text) out += ch == kUnknown ? '?' : ch;
      if (c.argv[k].glob) out += '*';
    }
    // A command of redirections alone (after a compound): its targets.
    if (c.argv.empty() && c.assignments.empty()) {
      for (const Redirect& r : c.redirects) {
        out += r.kind == RedirectKind::kInput ? "<" : ">";
        out += r.target.text;
      }
    }
    if (c.cwd != "/home/u/app") out += " @" + c.cwd;
  }
  return out;
}

// What analyze() makes of `text`, rendered.
std::string rendered(const char* text) { return render(analyze(text, env())); }

// A command line and what it should read as.
struct Case {
  const char* text;
  const char* expected;
};

// Checks that `read` (rendered or followed) reads each case as expected.
template <class Read>
void expect_each(Read read, std::span<const Case> cases) {
  for (const Case& c : cases) EXPECT_EQ(read(c.text), c.expected) << c.text;
}

TEST(ShellAnalyzer, WordsAreWhatTheShellPassesOn) {
  const Case cases[] = {
      // Quote removal in every form.
      {"r''m -rf \"$HOME\"/x", "rm|-rf|/home/u/x"},
      {"\\rm $'a\\tb\\x41' \"a\\\"b\" 'c\\d'", "rm|a\tbA|a\"b|c\\d"},
      {"echo a\\\nb", "echo|ab"},
      {"rm -rf ~ ~/x ~other", "rm|-rf|/home/u|/home/u/x|?"},
      {"echo ${HOME} ${TMPDIR:-/x} ${NOPE:-/y} ${NOPE:?} $1",
       "echo|/home/u|/tmp|/y|?|?"},
      // Assignments are tracked in order; unquoted values split.
      {"f=.env; cat $f", "f=.env  ; cat|.env"},
      {"c='rm -rf'; $c /", "c=rm -rf  ; rm|-rf|/"},
      {"X=1 cmd \"$X\"", "X=1 cmd|?"},
      {"export D=/srv; rm -r $D", "export|D=/srv ; rm|-r|/srv"},
      // Arrays: "${a[@]}" a field per element, ${a[*]} split, ${a[N]} and
      // $a one element; an element or subscript Core can't know, an
      // append or an empty "${a[@]}" leave the value unknown.
      {"a=(rm -rf '~ x'); \"${a[@]}\"; ${a[*]}; ${a[2]} $a ${a[7]}.",
       "a=\x01  ; rm|-rf|~ x ; rm|-rf|~|x ; ~|x|rm|."},
      {"a=(x $Y); a+=(z); b=(); echo ${a[0]} \"${b[@]}\" ${a[$i]}",
       "a=\x01  ; a=\x01\x01  ; b=\x01  ; echo|?|?|?"},
      {"a=(s t); a[1]=~; echo ${a[0]}; b=(s); printf -v b x; echo $b ${c[010]}",
       "a=\x01  ; a=\x01  ; echo|? ; b=\x01  ; printf|-v|b|x ; echo|?|?"},
      {"declare -A m; m=(0 s 1 t); echo ${m[1]}; x=$'\\x03'a; echo $x",
       "declare|-A|m ; m=\x01  ; echo|? ; x=\x03" "a  ; echo|?"},
      // Splitting follows the IFS the text sets: white space runs vanish,
      // each other separator ends a field, even an empty one.
      {"IFS=,; x='rm,-rf,/'; $x", "IFS=,  ; x=rm,-rf,/  ; rm|-rf|/"},
      {"x=' a,,b , c '; IFS=', '; printf %s $x",
       "x= a,,b , c   ; IFS=,   ; printf|%s|a||b|c"},
      {"x='a b'; IFS=,; rm $x", "x=a b  ; IFS=,  ; rm|a b"},
      {"IFS=$Q; x=ab; rm $x", "IFS=\x01  ; x=ab  ; rm|?"},
      {"IFS=' ,'; a='x '; b=',/'; rm $a$b",
       "IFS= ,  ; a=x   ; b=,/  ; rm|x|/"},
      // A command run in the background changes a copy of the shell.
      {"c=1; { c=2; cd /; } & echo $c", "c=1  ; c=2  ; cd|/ ; echo|1"},
      // Comments, globs and braces.
      {"ls # rm -rf /", "ls"},
      {"rm -rf /tmp/* a{b,c} [x] x]", "rm|-rf|/tmp/**|a{b,c}*|[x]*|x]"},
      // Substitutions run first; their known output becomes the word.
      {"echo $(echo hi) `printf x`", "echo|hi ; printf|x ; echo|hi|x"},
      {"cat $(echo fi8uc3No | base64 -d)",
       "echo|fi8uc3No ; base64|-d ; cat|~/.ssh"},
      {"echo $(( 1 + $(id -u) ))", "id|-u ; echo|?"},
  };
  expect_each(rendered, cases);
}

TEST(ShellAnalyzer, StructureAndDirectories) {
  const Case cases[] = {
      {"cd .. && rm -rf app", "cd|.. ; rm|-rf|app @/home/u"},
      {"( cd /; ls ); ls", "cd|/ ; ls @/ ; ls"},
      {"cd /x | cat; pwd", "cd|/x ; cat ; pwd"},
      {"echo $(cd /; pwd); pwd", "cd|/ ; pwd @/ ; echo|? ; pwd"},
      {"cd \"$X\"; rm -rf y", "cd|? ; rm|-rf|y @"},
      {"f() { rm -rf ../x; }; f", "rm|-rf|../x ; f"},
      // A body is the whole brace group, and a call does to the caller's
      // directory what its body does (not what a subshell in it does).
      {"f() { :; cd /t; }; rm -r ../x", ": ; cd|/t ; rm|-r|../x"},
      {"up() { cd ..; }; up && rm -r app", "cd|.. ; up ; rm|-r|app @/home/u"},
      {"f() { (cd /); cd / | cat; }; f; ls", "cd|/ ; cd|/ ; cat ; f ; ls"},
      {"if [ -d x ]; then rm -r x; fi", "[|-d|x|] ; rm|-r|x"},
      // A loop over known words: its body once for each, in order; the
      // variable keeps the last. Over a glob, it is one of the matches
      // (a pattern, quoted or not; taken apart, unknown). Over words it
      // can't know, it is unknown and the body is read once.
      {"for d in a b; do rm -r $d; done; ls $d",
       "rm|-r|a ; rm|-r|b ; ls|b"},
      {"for a in 1 2; do for b in x y; do echo $a$b; done; done",
       "echo|1x ; echo|1y ; echo|2x ; echo|2y"},
      {"for d in a b; do cd $d; done; ls", "cd|a ; cd|b @/home/u/app/a ; "
       "ls @/home/u/app/a/b"},
      {"for f in ~/k/*.pem; do cat \"$f\" ${f%.pem}; done",
       "cat|/home/u/k/*.pem*|?"},
      {"for d in a $X; do rm -r $d; done", "rm|-r|?"},
      // The variable is bound at "do": a body in braces is read once with
      // it unknown, and a pipeline stage's rollback can't undo it.
      {"for x in a ~; { rm -r $x; }", "rm|-r|?"},
      {"x=b; echo | for x in ~ c; do rm -r $x; done",
       "x=b  ; echo ; rm|-r|/home/u ; rm|-r|c"},
      {"for f in ~/*; do rm -r \"${f:-b}\" ${f+x}; y=$f; cat \"$y\"; done",
       "rm|-r|/home/u/**|x ; y=/home/u/*  ; cat|/home/u/**"},
      // What eval, source, printf -v, mapfile and element assignments
      // may change is no longer known.
      {"x=b; eval \"x=~\"; rm $x; y=c; . ./e; rm $y",
       "x=b  ; eval|x=~ ; rm|? @ ; y=c  @ ; .|./e @ ; rm|? @"},
      {"select d in a b; do rm -r $d; done", "rm|-r|?"},
      {"for d in a b; do rm -r $d; fi; done", "rm|-r|a"},
      {"case $1 in a) rm x;; *) ls;; esac", "rm|x ; ls"},
      {"while read l; do echo $l; done < f.txt", "read|l ; echo|? ; <f.txt"},
      // A compound's redirections open where it began.
      {"{ cd /; cat x; } > out.txt", "cd|/ ; cat|x @/ ; >out.txt"},
      {"[[ -f x && $y == z ]] && rm x", "[[|-f|x|?|==|z ; rm|x"},
      {"echo 'a;b' \"c|d\" e\\;f", "echo|a;b|c|d|e;f"},
  };
  expect_each(rendered, cases);
  // Where each command sits.
  Analysis a = analyze("a | b && c & d; (e); f $(g) <(h)", env());
  ASSERT_EQ(a.commands.size(), 8u);
  EXPECT_TRUE(a.commands[0].place & kInPipeline);
  EXPECT_EQ(a.commands[1].stage, 1);
  EXPECT_TRUE(a.commands[2].place & kInCondition);
  EXPECT_TRUE(a.commands[2].place & kBackground);
  EXPECT_TRUE(a.commands[4].place & kInSubshell);
  EXPECT_TRUE(a.commands[5].place & kInSubstitution);
  EXPECT_TRUE(a.commands[6].place & kInProcess);
  EXPECT_EQ(render(analyze("f $(g) <(h)", env())), "g ; h ; f|?|?");
}

TEST(ShellAnalyzer, HereDocumentsAndPipedText) {
  Analysis a = analyze(
      "bash <<EOF\nrm -rf $HOME\nEOF\ncat <<'X' | sh\n$HOME\nX\n", env());
  ASSERT_EQ(a.commands.size(), 3u);
  // Unquoted: expanded; quoted: as written.
  EXPECT_EQ(a.commands[0].redirects[0].target.text, "rm -rf /home/u\n");
  EXPECT_EQ(a.commands[1].redirects[0].target.text, "$HOME\n");
  EXPECT_EQ(piped_input(a, 2), "$HOME\n");
  // <<- strips leading tabs; a substitution in the body runs.
  a = analyze("cat <<-E\n\t$(touch x)\n\tE\n", env());
  EXPECT_EQ(render(a), "cat ; touch|x");
  a = analyze("printf '%s\\n' 'git reset --hard' a | bash", env());
  EXPECT_EQ(piped_input(a, 1), "git reset --hard\na\n");
  a = analyze("echo 'x!y' | base64 -d | sh", env());
  EXPECT_EQ(piped_input(a, 2), std::nullopt);  // not base64
  EXPECT_EQ(known_output(analyze("sh <<<'ls'", env()), 0), std::nullopt);
}

TEST(ShellAnalyzer, WhatItCannotFollowIsAProblemNotACrash) {
  for (const char* text :
       {"echo 'open", "echo \"open", "echo $(open", "echo ${open", "echo `open",
        "(", ")", "a && ", "a |", "case x in", "echo >"}) {
    Analysis a = analyze(text, env());
    EXPECT_FALSE(a.problems.empty()) << text;
  }
  Limits small;
  small.max_nesting = 8;
  std::string deep;
  for (int i = 0; i < 20; ++i) deep += "$(";
  EXPECT_FALSE(analyze(deep, env(), small).problems.empty());
  small.max_commands = 10;
  std::string many;
  for (int i = 0; i < 50; ++i) many += "a;";
  Analysis a = analyze(many, env(), small);
  EXPECT_EQ(a.commands.size(), 10u);
  EXPECT_FALSE(a.problems.empty());
  // A brace expansion of many groups is judged as written, at once.
  std::string braces = "cat ";
  for (int i = 0; i < 40000; ++i) braces += "{a,b}";
  EXPECT_EQ(analyze(braces + "*", env()).commands.size(), 1u);
  // Loops within loops read their bodies again only within a budget.
  std::string loops;
  for (int i = 0; i < 8; ++i) loops += "for x in 1 2 3 4 5 6 7 8; do ";
  loops += "rm -rf $x";
  for (int i = 0; i < 8; ++i) loops += "; done";
  a = analyze(loops, env());
  EXPECT_FALSE(a.problems.empty());
  EXPECT_LT(a.commands.size(), 4096u);
  // Bytes a shell would never see in a name stay what they are.
  EXPECT_TRUE(analyze(std::string("a\0b", 3), env()).problems.empty());
}

TEST(ShellAnalyzer, PathsAreNormalised) {
  EXPECT_EQ(resolve_path("/a/b", "../c/./d//"), "/a/c/d");
  EXPECT_EQ(resolve_path("/a", "/../../x"), "/x");
  EXPECT_EQ(resolve_path("", "rel"), "");
  EXPECT_EQ(resolve_path("/", ".."), "/");
  EXPECT_EQ(decode_base64("cm0gLXJmIC8K"), "rm -rf /\n");
  EXPECT_EQ(decode_base64("not base64!"), std::nullopt);
}

// Following wrappers and carried code, as the checks see the result.
std::string followed(const char* text) {
  FollowFacts f;
  f.cwd = "/home/u/app";
  f.home = "/home/u";
  CommandSet set = follow(text, f);
  std::string out;
  for (const RunCommand& rc : set.commands) {
    if (!out.empty()) out += " ; ";
    for (std::size_t k = 0; k < rc.argv.size(); ++k) {
      if (k > 0) out += '|';
      for (char ch : rc.argv[k].text) out += ch == kUnknown ? '?' : ch;
    }
    if (rc.elevated) out += " [root]";
    if (rc.remote) out += " [remote]";
    if (!rc.runs_download.empty()) out += " [runs " + rc.runs_download + "]";
  }
  return out;
}

TEST(CommandFollower, UnwrapsAndFollowsCarriedCode) {
  const Case cases[] = {
      {"sudo -u root env -i A=1 nice -n 5 timeout 10 rm -rf /x",
       "rm|-rf|/x [root]"},
      {"command -v rm", ""},
      {"bash -c '${1}' _ 'rm -rf /'", "rm|-rf|/ ; bash|-c|${1}|_|rm -rf /"},
      // "$@" keeps each parameter whole; "$*" is one word joined at IFS.
      {"bash -c '\"$@\"' _ 'rm -rf' /", "rm -rf|/ ; bash|-c|\"$@\"|_|rm -rf|/"},
      {"bash -c 'IFS=,; \"$*\"' _ rm /", "rm,/ ; bash|-c|IFS=,; \"$*\"|_|rm|/"},
      {"bash -c '$*' _ 'rm -rf' /", "rm|-rf|/ ; bash|-c|$*|_|rm -rf|/"},
      {"eval \"git  reset\" --hard",
       "git|reset|--hard ; eval|git  reset|--hard"},
      {"echo / | xargs -I{} rm -rf {}", "echo|/ ; rm|-rf|/"},
      {"parallel rm -rf ::: a b", "rm|-rf|a ; rm|-rf|b"},
      {"find . -name x -exec rm {} \\;",
       "rm|{} ; find|.|-name|x|-exec|rm|{}|;"},
      {"ssh -p 22 h 'rm -rf /d'", "rm|-rf|/d [remote] ; ssh|-p|22|h|rm -rf /d"},
      {"curl -s u | sudo bash", "curl|-s|u ; bash [root] [runs curl]"},
      {"python3 -c 'import os; os.system(\"rm -rf /\")'",
       "rm|-rf|/ ; python3|-c|import os; os.system(\"rm -rf /\")"},
      {"docker exec c rm -rf /v",
       "rm|-rf|/v [remote] ; docker|exec|c|rm|-rf|/v"},
  };
  expect_each(followed, cases);
}

}  // namespace
}  // namespace twk::core::shell
