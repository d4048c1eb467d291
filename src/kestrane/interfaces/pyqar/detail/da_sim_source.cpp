// The built-in OPC DA simulation: OPC DA needs Windows COM, so this platform offers one
// simulated server on the local machine. Reads cost a name parse and a formula per item, so
// benchmarks can drive hundreds of thousands of items per cycle.

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <stdexcept>
#include <string>
#include <string_view>

#include "pyqar/rt_source.h"

namespace pyqar {

namespace {

constexpr std::string_view kDaPrefix = "opc.da://";
constexpr std::string_view kServerName = "OstrevoV2.1.0";
constexpr std::string_view kItemPrefix = "Demo.";
// Item indexes beyond this many digits are unknown items; keeps counter sums far from overflow.
constexpr std::size_t kMaxIndexDigits = 15;

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string local_host_name() {
  std::array<char, 256> buf{};
  if (gethostname(buf.data(), buf.size() - 1) != 0) return {};
  return std::string(buf.data());
}

bool is_local_host(std::string_view host) {
  if (host.empty() || iequals(host, "localhost") || host == "127.0.0.1") return true;
  const std::string own = local_host_name();
  return !own.empty() && iequals(host, own);
}

enum class ItemKind { kUnknown, kTag, kCount, kRandom, kCccTag10 };

struct ParsedItem {
  ItemKind kind = ItemKind::kUnknown;
  std::int64_t index = 0;
};

// A decimal index n >= 1 without leading zeros, as the simulated server names its items.
bool parse_index(std::string_view digits, std::int64_t& out) {
  if (digits.empty() || digits.size() > kMaxIndexDigits || digits.front() == '0') return false;
  std::int64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  out = value;
  return true;
}

ParsedItem parse_item(std::string_view name) {
  if (!name.starts_with(kItemPrefix)) return {};
  name.remove_prefix(kItemPrefix.size());
  if (name.empty()) return {};
  std::string_view word;
  ItemKind kind = ItemKind::kUnknown;
  switch (name.front()) {
    case 'T':
      word = "Tag";
      kind = ItemKind::kTag;
      break;
    case 'C':
      if (name == "CCCTag10") return {ItemKind::kCccTag10, 10};
      word = "Count";
      kind = ItemKind::kCount;
      break;
    case 'R':
      word = "Random";
      kind = ItemKind::kRandom;
      break;
    default:
      return {};
  }
  if (!name.starts_with(word)) return {};
  name.remove_prefix(word.size());
  ParsedItem item{kind, 0};
  if (!parse_index(name, item.index)) return {};
  return item;
}

class DaSimSource : public RtSource {
 public:
  explicit DaSimSource(int sample_timespan_msec)
      : timespan_ms_(std::max(1, sample_timespan_msec)),
        created_(std::chrono::steady_clock::now()),
        rng_state_(static_cast<std::uint64_t>(
                       std::chrono::system_clock::now().time_since_epoch().count()) |
                   1U) {}

  bool valid() const override { return true; }

  std::vector<ValueObject> read(const std::vector<TagDescriptor>& batch) override {
    constexpr double kTwoPi = 2.0 * std::numbers::pi;
    const Timestamp stamp = std::chrono::system_clock::now();
    const double seconds = std::chrono::duration<double>(stamp.time_since_epoch()).count();
    // Sine phases from a one-minute and a half-minute period.
    const double minute_phase = kTwoPi * std::fmod(seconds, 60.0) / 60.0;
    const double half_minute_phase = kTwoPi * std::fmod(seconds, 30.0) / 30.0;
    const auto elapsed_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - created_)
                                .count();
    const std::int64_t ticks = elapsed_ms / timespan_ms_;

    std::vector<ValueObject> out(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) {
      ValueObject& v = out[i];
      // The simulation has no clock of its own: its items change when they are read.
      v.timestamp = stamp;
      v.source_timestamp = stamp;
      v.server_timestamp = stamp;
      const ParsedItem item = parse_item(batch[i].tag_name);
      switch (item.kind) {
        case ItemKind::kTag:
          v.value = 100.0 * std::sin(minute_phase + 0.1 * static_cast<double>(item.index % 63));
          break;
        case ItemKind::kCount:
          v.value = ticks + item.index - 1;
          break;
        case ItemKind::kRandom:
          v.value = next_random() * 100.0;
          break;
        case ItemKind::kCccTag10:
          v.value = 50.0 + 50.0 * std::sin(half_minute_phase);
          break;
        case ItemKind::kUnknown:
          v.quality = QAR_QUALITY::QAR_HIGH_BAD;
          v.status = QAR_STATUS::QAR_STATUS_BAD;
          continue;
      }
      v.quality = QAR_QUALITY::QAR_HIGH_GOOD;
      v.status = QAR_STATUS::QAR_STATUS_GOOD;
    }
    return out;
  }

 private:
  // xorshift64*: cheap and good enough for simulated noise; in [0, 1).
  double next_random() {
    rng_state_ ^= rng_state_ >> 12;
    rng_state_ ^= rng_state_ << 25;
    rng_state_ ^= rng_state_ >> 27;
    const std::uint64_t r = rng_state_ * 0x2545F4914F6CDD1DULL;
    return static_cast<double>(r >> 11) * 0x1.0p-53;
  }

  std::int64_t timespan_ms_;
  std::chrono::steady_clock::time_point created_;
  std::uint64_t rng_state_;
};

}  // namespace

std::unique_ptr<RtSource> make_da_source(const std::string& schema, int sample_timespan_msec) {
  std::string_view rest(schema);
  if (!rest.starts_with(kDaPrefix)) {
    throw std::runtime_error("'" + schema + "' is not an OPC DA address (opc.da://host/server)");
  }
  rest.remove_prefix(kDaPrefix.size());
  if (rest.ends_with('/')) rest.remove_suffix(1);
  const std::size_t slash = rest.find('/');
  if (slash == std::string_view::npos) {
    throw std::runtime_error("OPC DA address '" + schema +
                             "' names no server (opc.da://host/server)");
  }
  const std::string_view host = rest.substr(0, slash);
  const std::string_view server = rest.substr(slash + 1);
  if (!is_local_host(host)) {
    throw std::runtime_error("OPC DA host '" + std::string(host) +
                             "' cannot be reached: OPC DA is only simulated, on this machine");
  }
  if (!iequals(server, kServerName)) {
    throw std::runtime_error("OPC DA server '" + std::string(server) + "' not found on '" +
                             std::string(host) + "': this machine offers only " +
                             std::string(kServerName));
  }
  return std::make_unique<DaSimSource>(sample_timespan_msec);
}

std::vector<qar_source_desc_t> discover_da(const std::string& hostname) {
  if (!is_local_host(hostname)) return {};
  return {qar_source_desc_t{QAR_RTSOURCE::QAR_RTSOURCE_DA, std::string(kServerName),
                            std::string(kDaPrefix) + "localhost/" + std::string(kServerName)}};
}

}  // namespace pyqar
