#include "pending_spans_file.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "journel/atomic_file_write.h"
#include "journel/log.h"

namespace quellin {

namespace {

constexpr std::string_view kHeader = "kestrane-backfill 1 ";

std::string escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || c == '%') {
      out += fmt::format("%{:02X}", byte);
    } else {
      out += c;
    }
  }
  return out;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    const int high = i + 2 < text.size() ? hex_digit(text[i + 1]) : -1;
    const int low = i + 2 < text.size() ? hex_digit(text[i + 2]) : -1;
    if (high < 0 || low < 0) throw std::invalid_argument("a broken %XX escape in a tag name");
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

std::string edge_text(const std::vector<RowFingerprint>& edge) {
  if (edge.empty()) return "-";
  std::string out;
  for (const RowFingerprint fingerprint : edge) {
    if (!out.empty()) out += ',';
    out += fmt::format("{:x}", fingerprint);
  }
  return out;
}

std::vector<RowFingerprint> parse_edge(const std::string& text) {
  std::vector<RowFingerprint> edge;
  if (text == "-") return edge;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string part = text.substr(start, comma - start);
    std::size_t used = 0;
    const RowFingerprint value = std::stoull(part, &used, 16);
    if (used != part.size() || part.empty()) throw std::invalid_argument("a broken fingerprint");
    edge.push_back(value);
    start = comma + 1;
  }
  return edge;
}

std::string inside_text(const std::vector<std::pair<std::int64_t, RowFingerprint>>& inside) {
  if (inside.empty()) return "-";
  std::string out;
  for (const auto& [time, fingerprint] : inside) {
    if (!out.empty()) out += ',';
    out += fmt::format("{}:{:x}", time, fingerprint);
  }
  return out;
}

std::int64_t parse_time(const std::string& text);

std::vector<std::pair<std::int64_t, RowFingerprint>> parse_inside(const std::string& text) {
  std::vector<std::pair<std::int64_t, RowFingerprint>> inside;
  if (text == "-") return inside;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string part = text.substr(start, comma - start);
    const std::size_t colon = part.find(':');
    if (colon == std::string::npos) throw std::invalid_argument("a broken stored row");
    const std::vector<RowFingerprint> fingerprint = parse_edge(part.substr(colon + 1));
    if (fingerprint.size() != 1) throw std::invalid_argument("a broken stored row");
    inside.emplace_back(parse_time(part.substr(0, colon)), fingerprint.front());
    start = comma + 1;
  }
  return inside;
}

std::int64_t parse_time(const std::string& text) {
  std::size_t used = 0;
  const long long value = std::stoll(text, &used);
  if (used != text.size()) throw std::invalid_argument("a broken time '" + text + "'");
  return value;
}

HistorySpan parse_span(const std::string& line) {
  std::istringstream in(line);
  std::string low, high, done, low_edge, high_edge, inside, tag;
  if (!(in >> low >> high >> done >> low_edge >> high_edge >> inside >> tag)) {
    throw std::invalid_argument("a line with fewer than seven fields");
  }
  HistorySpan span{.tag = unescape(tag),
                   .low_us = parse_time(low),
                   .high_us = parse_time(high),
                   .low_edge = parse_edge(low_edge),
                   .high_edge = parse_edge(high_edge),
                   .inside = parse_inside(inside),
                   .done_above_us = parse_time(done)};
  if (span.low_us > span.high_us || span.done_above_us > span.high_us + 1) {
    throw std::invalid_argument("a span whose times are out of order");
  }
  return span;
}

}  // namespace

PendingSpansFile::PendingSpansFile(std::filesystem::path dir, std::string endpoint)
    : dir_(std::move(dir)), endpoint_(std::move(endpoint)) {}

std::vector<HistorySpan> PendingSpansFile::load() const {
  std::ifstream in(path());
  if (!in) return {};
  auto warn = [this](const std::string& why) {
    journel::get_logger("quellin")->warn(
        "Ignoring the backfill progress file '{}': {}; the gaps it held are filled only as far "
        "as the stored values show them",
        path().string(), why);
  };
  std::string line;
  if (!std::getline(in, line) || !line.starts_with(kHeader)) {
    warn("it does not start with the expected header");
    return {};
  }
  if (line.substr(kHeader.size()) != escape(endpoint_)) {
    warn("it belongs to another server, " + unescape(line.substr(kHeader.size())));
    return {};
  }
  std::vector<HistorySpan> spans;
  std::size_t number = 1;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty()) continue;
    try {
      spans.push_back(parse_span(line));
    } catch (const std::exception& e) {
      warn(fmt::format("line {}: {}", number, e.what()));
      return {};
    }
  }
  return spans;
}

void PendingSpansFile::save(const std::vector<HistorySpan>& spans) const {
  if (spans.empty()) {
    std::error_code ignored;
    std::filesystem::remove(path(), ignored);
    return;
  }
  std::string text;
  text += kHeader;
  text += escape(endpoint_);
  text += '\n';
  for (const HistorySpan& span : spans) {
    text += fmt::format("{} {} {} {} {} {} {}\n", span.low_us, span.high_us, span.done_above_us,
                        edge_text(span.low_edge), edge_text(span.high_edge),
                        inside_text(span.inside), escape(span.tag));
  }
  std::filesystem::create_directories(dir_);
  journel::write_file_atomically(path(), text);
}

}  // namespace quellin
