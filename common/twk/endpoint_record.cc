// Reading and writing the endpoint record.
#include "twk/endpoint_record.h"

#include <sys/stat.h>

#include "twk/json.h"
#include "twk/sys/files.h"

namespace twk {
namespace {

constexpr std::string_view kUrlScheme = "http://";
constexpr mode_t kRecordMode = 0600;
constexpr mode_t kDirectoryMode = 0700;

}  // namespace

std::string endpoint_url(const net::SocketAddress& address) {
  return std::string(kUrlScheme) + address.to_string();
}

std::string endpoint_record_text(const Endpoint& endpoint) {
  json::Value value = json::Value::object();
  if (endpoint.pid) value["pid"] = *endpoint.pid;
  value["token"] = endpoint.token;
  value["url"] = endpoint_url(endpoint.address);
  // Objects are sorted by key, so the members come out in the byte order
  // every JSON text of the system uses. Invalid UTF-8 (which the hex token
  // and numeric url never contain) is replaced, not thrown.
  return json::dump(value) + "\n";
}

std::optional<Endpoint> parse_endpoint_record(std::string_view text) {
  Result<json::Value> record = json::parse(text);
  if (!record || !record->is_object()) return std::nullopt;

  auto url = record->find("url");
  if (url == record->end() || !url->is_string()) return std::nullopt;
  const std::string& url_text = url->get_ref<const std::string&>();
  if (url_text.size() < kUrlScheme.size() ||
      url_text.compare(0, kUrlScheme.size(), kUrlScheme) != 0) {
    return std::nullopt;
  }
  std::string_view authority = std::string_view(url_text).substr(kUrlScheme.size());
  authority = authority.substr(0, authority.find('/'));
  std::optional<net::SocketAddress> address =
      net::parse_socket_address(authority);
  if (!address) return std::nullopt;

  auto token = record->find("token");
  if (token == record->end() || !token->is_string()) return std::nullopt;

  Endpoint endpoint{*address, token->get<std::string>(), std::nullopt};
  auto pid = record->find("pid");
  // Only a plain non-negative integer below 2^32 is a pid; 12.0, -1, "12"
  // and 2^32 leave the record without one (valid, but never live).
  if (pid != record->end()) {
    if (pid->is_number_unsigned()) {
      auto v = pid->get<std::uint64_t>();
      if (v <= UINT32_MAX) endpoint.pid = static_cast<std::uint32_t>(v);
    } else if (pid->is_number_integer()) {
      auto v = pid->get<std::int64_t>();
      if (v >= 0 && v <= INT64_C(0xFFFFFFFF)) {
        endpoint.pid = static_cast<std::uint32_t>(v);
      }
    }
  }
  return endpoint;
}

Status write_endpoint_record(const std::string& path, std::string_view text) {
  std::optional<std::string> parent = sys::parent_path(path);
  if (parent && !parent->empty()) {
    // A failure shows up when the temporary file cannot be created.
    (void)sys::make_dirs(*parent, kDirectoryMode);
  }
  return sys::write_file_atomically(path, text, kRecordMode);
}

}  // namespace twk
