// Parsing twk-backend's command line.
#include "options.h"

#include <arpa/inet.h>

#include <functional>
#include <optional>

namespace twk::core {
namespace {

// An option's value handler: stores the value or returns why it is unusable.
using Setter =
    std::function<std::optional<std::string>(Options&, std::string_view)>;

struct OptionDef {
  std::string_view name;  // with the leading "--"
  bool takes_value;
  Setter set;
};

std::string quoted(std::string_view s) {
  std::string out = "'";
  out += s;
  out += '\'';
  return out;
}

// Decimal digits only; values past `limit` (including those that would
// overflow) come back as `limit` when `clamp` is set, else as nothing.
std::optional<std::uint64_t> parse_decimal(std::string_view text,
                                           std::uint64_t limit, bool clamp) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  bool over = false;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (over) continue;  // keep checking that the rest are digits
    std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (limit - digit) / 10) {
      over = true;
      continue;
    }
    value = value * 10 + digit;
  }
  if (over) return clamp ? std::optional<std::uint64_t>(limit) : std::nullopt;
  return value;
}

std::optional<std::string> set_host(Options& options, std::string_view value) {
  std::string host(value);
  // "[::1]" is accepted as well as "::1", since that is how IPv6 addresses
  // appear in URLs.
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  unsigned char buffer[sizeof(in6_addr)];
  if (inet_pton(AF_INET, host.c_str(), buffer) != 1 &&
      inet_pton(AF_INET6, host.c_str(), buffer) != 1) {
    // Names are refused: the endpoint record must carry a numeric address.
    return "--host needs a numeric IPv4 or IPv6 address, not " + quoted(value);
  }
  options.host = std::move(host);
  return std::nullopt;
}

std::optional<std::string> set_port(Options& options, std::string_view value) {
  std::optional<std::uint64_t> port = parse_decimal(value, 65535, false);
  if (!port) {
    return "--port needs a number from 0 to 65535, not " + quoted(value);
  }
  options.port = static_cast<std::uint16_t>(*port);
  return std::nullopt;
}

std::optional<std::string> set_idle_exit(Options& options,
                                         std::string_view value) {
  std::optional<std::uint64_t> seconds =
      parse_decimal(value, kMaxIdleExitSeconds, true);
  if (!seconds) {
    return "--idle-exit needs a whole number of seconds, not " + quoted(value);
  }
  options.idle_exit_seconds = *seconds;
  return std::nullopt;
}

std::span<const OptionDef> option_table() {
  static const OptionDef kTable[] = {
      {"--host", true, set_host},
      {"--port", true, set_port},
      {"--idle-exit", true, set_idle_exit},
      {"--help", false,
       [](Options& options, std::string_view) -> std::optional<std::string> {
         options.help = true;
         return std::nullopt;
       }},
  };
  return kTable;
}

const OptionDef* find_option(std::string_view name) {
  for (const OptionDef& def : option_table()) {
    if (def.name == name) return &def;
  }
  return nullptr;
}

}  // namespace

Result<Options> parse_options(std::span<const std::string_view> args) {
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg.size() < 2 || arg[0] != '-') {
      return Failure{"unexpected argument " + quoted(arg)};
    }
    std::string_view name = arg;
    std::optional<std::string_view> inline_value;
    if (std::size_t eq = arg.find('='); eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      inline_value = arg.substr(eq + 1);
    }
    const OptionDef* def = find_option(name);
    if (def == nullptr) return Failure{"unknown option " + quoted(name)};

    std::string_view value;
    if (def->takes_value) {
      if (inline_value) {
        value = *inline_value;
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        return Failure{"option " + quoted(name) + " needs a value"};
      }
    } else if (inline_value) {
      return Failure{"option " + quoted(name) + " takes no value"};
    }
    if (std::optional<std::string> error = def->set(options, value)) {
      return Failure{std::move(*error)};
    }
  }
  return options;
}

std::string usage_text() {
  return "Usage: twk-backend [--host ADDR] [--port N] [--idle-exit SECONDS]\n"
         "\n"
         "Serves policy decisions for twk-hook over HTTP on a local address.\n"
         "On start it writes its endpoint record (url, bearer token, pid) to\n"
         "$TWK_ENDPOINT_FILE, or else to $TARNWICK_HOME/endpoint.json, or\n"
         "else to $HOME/.tarnwick/endpoint.json.\n"
         "\n"
         "Options:\n"
         "  --host ADDR          numeric IPv4 or IPv6 address to listen on\n"
         "                       (default 127.0.0.1)\n"
         "  --port N             port to listen on; 0 picks a free one "
         "(default 0)\n"
         "  --idle-exit SECONDS  exit after this long without a request;\n"
         "                       0 never exits (default 1800)\n"
         "  --help               show this text and exit\n";
}

}  // namespace twk::core
