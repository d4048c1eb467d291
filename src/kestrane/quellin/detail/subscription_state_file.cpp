#include "subscription_state_file.h"

#include <charconv>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "journel/atomic_file_write.h"
#include "journel/log.h"

namespace quellin {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kStateHeader = "kestrane subscriptions 1";
constexpr std::string_view kKeptHeader = "kestrane kept 1";

// Endpoints, user names and tag keys go on one line each: the two characters that could break
// a line are escaped.
std::string escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

std::string unescaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) throw std::runtime_error("a line ends in a lone backslash");
    switch (text[i]) {
      case '\\':
        out += '\\';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      default:
        throw std::runtime_error(fmt::format("unknown escape \\{}", text[i]));
    }
  }
  return out;
}

std::string_view deadband_name(pyqar::DeadbandType type) {
  switch (type) {
    case pyqar::DeadbandType::absolute:
      return "absolute";
    case pyqar::DeadbandType::percent:
      return "percent";
    case pyqar::DeadbandType::none:
      break;
  }
  return "none";
}

// Reads the space-separated fields of one line in turn.
class Fields {
 public:
  Fields(std::string_view line, std::size_t number) : rest_(line), number_(number) {}

  std::string_view word() {
    const std::size_t end = rest_.find(' ');
    const std::string_view w = rest_.substr(0, end);
    rest_ = end == std::string_view::npos ? std::string_view{} : rest_.substr(end + 1);
    if (w.empty()) fail("a field is missing");
    return w;
  }
  // Everything left on the line (which may hold spaces).
  std::string_view rest() const { return rest_; }

  template <typename T>
  T number() {
    const std::string_view w = word();
    T value{};
    const auto [end, ec] = std::from_chars(w.data(), w.data() + w.size(), value);
    if (ec != std::errc{} || end != w.data() + w.size()) fail(fmt::format("'{}' is no number", w));
    return value;
  }

  [[noreturn]] void fail(const std::string& why) const {
    throw std::runtime_error(fmt::format("line {}: {}", number_, why));
  }

 private:
  std::string_view rest_;
  std::size_t number_;
};

// The file's lines after its header; nothing when there is no file.
std::optional<std::vector<std::string>> read_lines(const fs::path& path, std::string_view header) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::error_code ec;
    if (!fs::exists(path, ec)) return std::nullopt;
    throw std::runtime_error("it cannot be opened");
  }
  std::vector<std::string> lines;
  std::string line;
  if (!std::getline(in, line) || line != header) {
    throw std::runtime_error(fmt::format("it does not start with '{}'", header));
  }
  while (std::getline(in, line)) lines.push_back(std::move(line));
  if (in.bad()) throw std::runtime_error("it cannot be read");
  return lines;
}

pyqar::ReclaimableSubscriptions parse_state(const std::vector<std::string>& lines,
                                            const SubscriptionStateFile::Owner& owner) {
  pyqar::ReclaimableSubscriptions state;
  bool has_endpoint = false;
  bool has_user = false;
  for (std::size_t k = 0; k < lines.size(); ++k) {
    Fields f(lines[k], k + 2);
    const std::string_view kind = f.word();
    if (kind == "endpoint") {
      const std::string endpoint = unescaped(f.rest());
      if (endpoint != owner.endpoint) {
        throw std::runtime_error(
            fmt::format("it belongs to the server {}, not {}", endpoint, owner.endpoint));
      }
      has_endpoint = true;
    } else if (kind == "user") {
      const std::string user = unescaped(f.rest());
      if (user != owner.user) {
        const auto name = [](const std::string& u) {
          return u.empty() ? std::string("an anonymous user") : "user '" + u + "'";
        };
        throw std::runtime_error(
            fmt::format("it belongs to {}, not {}", name(user), name(owner.user)));
      }
      has_user = true;
    } else if (kind == "publishing_interval_ms") {
      state.publishing_interval_ms = f.number<double>();
    } else if (kind == "subscription") {
      pyqar::ReclaimableSubscription& sub = state.subscriptions.emplace_back();
      sub.id = f.number<std::uint32_t>();
      sub.publishing_interval_ms = f.number<double>();
      sub.keep_alive_count = f.number<std::uint32_t>();
      sub.lifetime_count = f.number<std::uint32_t>();
    } else if (kind == "item") {
      if (state.subscriptions.empty()) f.fail("an item before any subscription");
      pyqar::ReclaimableItem item;
      item.client_handle = f.number<std::uint32_t>();
      item.item_id = f.number<std::uint32_t>();
      item.settings.sampling_interval_ms = f.number<double>();
      item.settings.queue_size = f.number<std::uint32_t>();
      const std::string_view deadband = f.word();
      if (deadband == "none") {
        item.settings.deadband_type = pyqar::DeadbandType::none;
      } else if (deadband == "absolute") {
        item.settings.deadband_type = pyqar::DeadbandType::absolute;
      } else if (deadband == "percent") {
        item.settings.deadband_type = pyqar::DeadbandType::percent;
      } else {
        f.fail(fmt::format("unknown deadband '{}'", deadband));
      }
      item.settings.deadband = f.number<double>();
      item.tag_key = unescaped(f.rest());
      if (item.tag_key.empty()) f.fail("an item without its tag");
      state.subscriptions.back().items.push_back(std::move(item));
    } else {
      f.fail(fmt::format("unknown entry '{}'", kind));
    }
  }
  if (!has_endpoint || !has_user) throw std::runtime_error("it names no server or no user");
  return state;
}

std::map<std::uint32_t, std::uint32_t> parse_kept(const std::vector<std::string>& lines) {
  std::map<std::uint32_t, std::uint32_t> kept;
  for (std::size_t k = 0; k < lines.size(); ++k) {
    Fields f(lines[k], k + 2);
    if (f.word() != "kept") f.fail("not a 'kept' entry");
    const auto id = f.number<std::uint32_t>();
    kept[id] = f.number<std::uint32_t>();
  }
  return kept;
}

// Sequence numbers wrap after 0xFFFFFFFF: `a` comes after `b` when it is less than half the
// range ahead.
bool later(std::uint32_t a, std::uint32_t b) { return static_cast<std::int32_t>(a - b) > 0; }

}  // namespace

SubscriptionStateFile::SubscriptionStateFile(fs::path dir, Owner owner)
    : dir_(std::move(dir)), owner_(std::move(owner)) {}

std::optional<pyqar::ReclaimableSubscriptions> SubscriptionStateFile::load() const {
  auto log = journel::get_logger("quellin");
  const fs::path state_path = dir_ / kStateName;
  pyqar::ReclaimableSubscriptions state;
  try {
    const auto lines = read_lines(state_path, kStateHeader);
    if (!lines) return std::nullopt;
    state = parse_state(*lines, owner_);
  } catch (const std::exception& e) {
    log->warn(
        "Subscription state {} ignored: {}; the previous run's subscriptions are not taken over",
        state_path.string(), e.what());
    return std::nullopt;
  }
  const fs::path kept_path = dir_ / kKeptName;
  try {
    const auto lines = read_lines(kept_path, kKeptHeader);
    if (!lines) throw std::runtime_error("it is missing");
    const std::map<std::uint32_t, std::uint32_t> kept = parse_kept(*lines);
    for (pyqar::ReclaimableSubscription& sub : state.subscriptions) {
      const auto it = kept.find(sub.id);
      // Written before the subscriptions, so a subscription it lacks is newer than it: nothing
      // of it was kept yet.
      if (it != kept.end()) sub.last_kept = it->second;
    }
  } catch (const std::exception& e) {
    // Without the numbers, messages kept already would be stored twice.
    log->warn(
        "Subscription state {} ignored: {}; the previous run's subscriptions are not taken over",
        kept_path.string(), e.what());
    return std::nullopt;
  }
  return state;
}

void SubscriptionStateFile::save(const pyqar::ReclaimableSubscriptions& state) {
  std::lock_guard lock(mutex_);
  removed_ = false;
  std::map<std::uint32_t, std::uint32_t> kept;
  for (const pyqar::ReclaimableSubscription& sub : state.subscriptions) {
    const auto it = kept_.find(sub.id);
    kept[sub.id] =
        it != kept_.end() && later(it->second, sub.last_kept) ? it->second : sub.last_kept;
  }
  write_kept(kept);
  kept_ = std::move(kept);
  std::string text;
  text += fmt::format("{}\nendpoint {}\nuser {}\npublishing_interval_ms {}\n", kStateHeader,
                      escaped(owner_.endpoint), escaped(owner_.user), state.publishing_interval_ms);
  for (const pyqar::ReclaimableSubscription& sub : state.subscriptions) {
    text += fmt::format("subscription {} {} {} {}\n", sub.id, sub.publishing_interval_ms,
                        sub.keep_alive_count, sub.lifetime_count);
    for (const pyqar::ReclaimableItem& item : sub.items) {
      fmt::format_to(std::back_inserter(text), "item {} {} {} {} {} {} {}\n", item.client_handle,
                     item.item_id, item.settings.sampling_interval_ms, item.settings.queue_size,
                     deadband_name(item.settings.deadband_type), item.settings.deadband,
                     escaped(item.tag_key));
    }
  }
  journel::write_file_atomically(dir_ / kStateName, text);
}

void SubscriptionStateFile::save_kept(const std::vector<pyqar::KeptSequence>& kept) {
  std::lock_guard lock(mutex_);
  if (removed_) return;
  // Changed in memory only once on disk: a failed write is tried again with the next numbers.
  std::map<std::uint32_t, std::uint32_t> next = kept_;
  bool changed = false;
  for (const pyqar::KeptSequence& k : kept) {
    const auto [it, added] = next.emplace(k.subscription_id, k.sequence_number);
    if (added || later(k.sequence_number, it->second)) {
      it->second = k.sequence_number;
      changed = true;
    }
  }
  if (!changed) return;
  write_kept(next);
  kept_ = std::move(next);
}

void SubscriptionStateFile::record_kept(const std::vector<pyqar::KeptSequence>& kept) noexcept {
  try {
    save_kept(kept);
    std::lock_guard lock(mutex_);
    record_failure_reported_ = false;
  } catch (const std::exception& e) {
    std::lock_guard lock(mutex_);
    if (record_failure_reported_) return;
    record_failure_reported_ = true;
    journel::get_logger("quellin")->warn(
        "Kept notification numbers not recorded in {}: {}; after a crash the last batches may "
        "be stored twice",
        dir_.string(), e.what());
  }
}

void SubscriptionStateFile::write_kept(const std::map<std::uint32_t, std::uint32_t>& kept) const {
  fs::create_directories(dir_);
  std::string text(kKeptHeader);
  text += '\n';
  for (const auto& [id, number] : kept) text += fmt::format("kept {} {}\n", id, number);
  journel::write_file_atomically(dir_ / kKeptName, text);
}

void SubscriptionStateFile::remove() noexcept {
  std::lock_guard lock(mutex_);
  removed_ = true;
  kept_.clear();
  std::error_code ec;
  fs::remove(dir_ / kStateName, ec);
  fs::remove(dir_ / kKeptName, ec);
}

}  // namespace quellin
