#include "App/Server/ConsoleAuth.h"

#include <arpa/inet.h>
#include <nettle/pbkdf2.h>
#include <sys/random.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "App/Server/ConfigKeys.h"
#include "Lib/Kit/Options/OptionsReg.h"

namespace logrum::server {
namespace {

constexpr char kScheme[] = "pbkdf2-sha256";
constexpr uint32_t kDefaultIterations = 100000;
constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;

std::string Hex(const uint8_t* data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    text.push_back(digits[data[i] >> 4]);
    text.push_back(digits[data[i] & 15]);
  }
  return text;
}

bool Unhex(std::string_view text, std::string* bytes) {
  if (text.size() % 2 != 0) return false;
  bytes->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    auto digit = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    int high = digit(text[i]);
    int low = digit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<char>(high * 16 + low));
  }
  return true;
}

void FillRandom(uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::getrandom(data + done, size - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("no random bytes for the console");
    }
    done += static_cast<size_t>(n);
  }
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

std::string Derive(std::string_view password, const std::string& salt, uint32_t iterations) {
  uint8_t hash[kHashBytes];
  pbkdf2_hmac_sha256(password.size(), reinterpret_cast<const uint8_t*>(password.data()), iterations,
                     salt.size(), reinterpret_cast<const uint8_t*>(salt.data()), sizeof hash, hash);
  return std::string(reinterpret_cast<const char*>(hash), sizeof hash);
}

}  // namespace

std::string RandomHex(size_t bytes) {
  std::string raw(bytes, '\0');
  FillRandom(reinterpret_cast<uint8_t*>(raw.data()), raw.size());
  return Hex(reinterpret_cast<const uint8_t*>(raw.data()), raw.size());
}

bool ParseConsoleAddress(std::string_view text, std::string* host, int* port) {
  size_t colon;
  if (!text.empty() && text.front() == '[') {
    size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      return false;
    }
    *host = std::string(text.substr(1, close - 1));
    colon = close + 1;
  } else {
    colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    *host = std::string(text.substr(0, colon));
  }
  std::string digits(text.substr(colon + 1));
  if (digits.empty() || digits.size() > 5 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  *port = std::atoi(digits.c_str());
  return *port > 0 && *port < 65536 && !host->empty();
}

bool IsLoopbackHost(std::string_view host) {
  std::string text(host);
  in_addr v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
  return Lower(host) == "localhost";
}

bool ConsoleSettings::loopback() const { return IsLoopbackHost(host); }

platform::Status ConsoleSettings::Load(platform::Registry* store) {
  kit::OptionsReg values(false, store);
  values.set_trace(false);
  values.SetString("ConsoleAddress", "");
  values.SetString("ConsolePassword", "");
  values.SetString("ConsoleHostNames", "");
  values.SetInteger("SilenceLevel", -50);
  values.SetInteger("SilenceSeconds", 60);
  values.SetString("MetricsToken", "");
  // Without the key the defaults registered above are the settings.
  (void)values.Read(ServerKeyPath());
  platform::Status status;
  std::string address = values.GetString("ConsoleAddress");
  if (!address.empty()) {
    std::string parsed_host;
    int parsed_port = 0;
    if (ParseConsoleAddress(address, &parsed_host, &parsed_port)) {
      host = parsed_host;
      port = parsed_port;
    } else {
      status = platform::Status::Error(
          platform::Status::kInvalidArgument,
          "ConsoleAddress \"" + address + "\" is not ADDRESS:PORT; the console uses " +
              kDefaultConsoleHost + ":" + std::to_string(kDefaultConsolePort));
    }
  }
  password_hash = values.GetString("ConsolePassword");
  host_names.clear();
  std::string names = values.GetString("ConsoleHostNames");
  size_t begin = 0;
  while (begin <= names.size()) {
    size_t end = names.find(',', begin);
    if (end == std::string::npos) end = names.size();
    std::string name = names.substr(begin, end - begin);
    name.erase(0, name.find_first_not_of(' '));
    name.erase(name.find_last_not_of(' ') + 1);
    if (!name.empty()) host_names.push_back(Lower(name));
    begin = end + 1;
  }
  int32_t level = values.GetInteger("SilenceLevel");
  if (level < 0 && level >= -96) silence_level_db = level;
  int32_t seconds = values.GetInteger("SilenceSeconds");
  if (seconds > 0) silence_seconds = seconds;
  metrics_token = values.GetString("MetricsToken");
  if (metrics_token.size() < kMinMetricsToken) {
    if (!metrics_token.empty() && status.ok()) {
      status = platform::Status::Error(platform::Status::kInvalidArgument,
                                       "MetricsToken is shorter than " +
                                           std::to_string(kMinMetricsToken) +
                                           " characters; /metrics takes no token");
    }
    metrics_token.clear();
  }
  return status;
}

bool MetricsTokenMatches(const ConsoleSettings& settings, std::string_view authorization) {
  constexpr std::string_view kBearer = "Bearer ";
  if (settings.metrics_token.empty() || authorization.substr(0, kBearer.size()) != kBearer) {
    return false;
  }
  const std::string_view given = authorization.substr(kBearer.size());
  const std::string& want = settings.metrics_token;
  unsigned char differ = given.size() == want.size() ? 0 : 1;
  for (size_t i = 0; i < want.size(); ++i) {
    differ |= static_cast<unsigned char>(want[i] ^ (i < given.size() ? given[i] : 0));
  }
  return differ == 0;
}

std::string HashConsolePassword(std::string_view password, uint32_t iterations) {
  if (iterations == 0) iterations = kDefaultIterations;
  uint8_t salt[kSaltBytes];
  FillRandom(salt, sizeof salt);
  std::string salt_bytes(reinterpret_cast<const char*>(salt), sizeof salt);
  std::string hash = Derive(password, salt_bytes, iterations);
  return std::string(kScheme) + "$" + std::to_string(iterations) + "$" +
         Hex(salt, sizeof salt) + "$" +
         Hex(reinterpret_cast<const uint8_t*>(hash.data()), hash.size());
}

bool VerifyConsolePassword(std::string_view stored, std::string_view password) {
  std::vector<std::string_view> parts;
  size_t begin = 0;
  for (;;) {
    size_t end = stored.find('$', begin);
    parts.push_back(stored.substr(begin, end == std::string_view::npos ? end : end - begin));
    if (end == std::string_view::npos) break;
    begin = end + 1;
  }
  if (parts.size() != 4 || parts[0] != kScheme) return false;
  std::string count(parts[1]);
  if (count.empty() || count.size() > 9 ||
      !std::all_of(count.begin(), count.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  const auto iterations = static_cast<uint32_t>(std::strtoul(count.c_str(), nullptr, 10));
  std::string salt, expected;
  if (iterations == 0 || !Unhex(parts[2], &salt) || !Unhex(parts[3], &expected) ||
      expected.size() != kHashBytes) {
    return false;
  }
  std::string actual = Derive(password, salt, iterations);
  // Compare every byte, so the time taken tells nothing.
  unsigned char diff = 0;
  for (size_t i = 0; i < kHashBytes; ++i) {
    diff |= static_cast<unsigned char>(actual[i] ^ expected[i]);
  }
  return diff == 0;
}

bool HostAllowed(const ConsoleSettings& settings, std::string_view host_header) {
  if (host_header.empty()) return false;
  const std::string header = Lower(host_header);
  const std::string port = std::to_string(settings.port);
  auto matches = [&](const std::string& name) {
    return header == name + ":" + port || (settings.port == 80 && header == name);
  };
  std::string bound = Lower(settings.host);
  if (bound.find(':') != std::string::npos) bound = "[" + bound + "]";
  if (matches(bound)) return true;
  if (settings.loopback() &&
      (matches("localhost") || matches("127.0.0.1") || matches("[::1]"))) {
    return true;
  }
  for (const std::string& name : settings.host_names) {
    if (header == name || matches(name)) return true;
  }
  return false;
}

ConsoleSession ConsoleSessions::Create(ConsoleRole role) {
  ConsoleSession session;
  session.id = RandomHex(16);
  session.token = RandomHex(16);
  session.role = role;
  kit::MutexLock lock(mu_);
  sessions_[session.id] = session;
  order_.push_back(session.id);
  while (order_.size() > kMaxSessions) {
    sessions_.erase(order_.front());
    order_.erase(order_.begin());
  }
  return session;
}

std::optional<ConsoleSession> ConsoleSessions::Find(std::string_view id) const {
  kit::MutexLock lock(mu_);
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return std::nullopt;
  return it->second;
}

std::optional<ConsoleSession> ConsoleSessions::Promote(std::string_view id, ConsoleRole role,
                                                       std::string user) {
  {
    kit::MutexLock lock(mu_);
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return std::nullopt;
    sessions_.erase(it);
    order_.erase(std::remove(order_.begin(), order_.end(), std::string(id)), order_.end());
  }
  ConsoleSession session = Create(role);
  kit::MutexLock lock(mu_);
  sessions_[session.id].user = user;
  session.user = std::move(user);
  return session;
}

void ConsoleSessions::Remove(std::string_view id) {
  kit::MutexLock lock(mu_);
  sessions_.erase(std::string(id));
  order_.erase(std::remove(order_.begin(), order_.end(), std::string(id)), order_.end());
}

uint64_t LoginLimiter::Now() const {
  return clock_ != nullptr ? clock_->TickMs() : platform::DefaultClock().TickMs();
}

uint64_t LoginLimiter::WaitMs(const std::string& address) const {
  kit::MutexLock lock(mu_);
  auto it = entries_.find(address);
  if (it == entries_.end()) return 0;
  uint64_t now = Now();
  return it->second.locked_until > now ? it->second.locked_until - now : 0;
}

void LoginLimiter::Failed(const std::string& address) {
  kit::MutexLock lock(mu_);
  Entry& entry = entries_[address];
  ++entry.failures;
  if (entry.failures < kFreeFailures) return;
  uint64_t lock_ms = kFirstLockMs;
  for (int i = kFreeFailures; i < entry.failures && lock_ms < kMaxLockMs; ++i) lock_ms *= 2;
  entry.locked_until = Now() + std::min(lock_ms, kMaxLockMs);
}

void LoginLimiter::Succeeded(const std::string& address) {
  kit::MutexLock lock(mu_);
  entries_.erase(address);
}

}  // namespace logrum::server
