#include "config/event_lists.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>

#include <fmt/format.h>

#include "pyqar/node_id_text.h"

namespace kestrane_config {

namespace {

constexpr char kQuote = '"';
constexpr unsigned kMaxNamespaceIndex = 0xFFFF;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

bool needs_quotes(const std::string& element) {
  return element.empty() || element.find_first_of(",\"") != std::string::npos ||
         is_blank(element.front()) || is_blank(element.back());
}

}  // namespace

std::vector<std::string> split_list(std::string_view text) {
  std::vector<std::string> elements;
  if (trimmed(text).empty()) return elements;
  std::size_t pos = 0;
  while (true) {
    const std::size_t number = elements.size() + 1;
    while (pos < text.size() && is_blank(text[pos])) ++pos;
    std::string element;
    if (pos < text.size() && text[pos] == kQuote) {
      ++pos;
      bool closed = false;
      while (pos < text.size()) {
        if (text[pos] != kQuote) {
          element.push_back(text[pos++]);
        } else if (pos + 1 < text.size() && text[pos + 1] == kQuote) {
          element.push_back(kQuote);
          pos += 2;
        } else {
          ++pos;
          closed = true;
          break;
        }
      }
      if (!closed) {
        throw std::invalid_argument(
            fmt::format("the double quote opening element {} is never closed", number));
      }
      while (pos < text.size() && is_blank(text[pos])) ++pos;
      if (pos < text.size() && text[pos] != ',') {
        throw std::invalid_argument(fmt::format(
            "element {} has text after its closing double quote (a comma must follow)", number));
      }
    } else {
      const std::size_t comma = std::min(text.find(',', pos), text.size());
      element = std::string(trimmed(text.substr(pos, comma - pos)));
      pos = comma;
    }
    if (element.empty()) throw std::invalid_argument(fmt::format("element {} is empty", number));
    elements.push_back(std::move(element));
    if (pos >= text.size()) return elements;
    ++pos;  // the comma
  }
}

std::string join_list(const std::vector<std::string>& elements) {
  std::string text;
  for (const std::string& element : elements) {
    if (!text.empty()) text += ", ";
    if (!needs_quotes(element)) {
      text += element;
      continue;
    }
    text.push_back(kQuote);
    for (const char c : element) {
      if (c == kQuote) text.push_back(kQuote);
      text.push_back(c);
    }
    text.push_back(kQuote);
  }
  return text;
}

std::optional<std::string> browse_path_problem(std::string_view path) {
  const auto bad = [path](std::string_view why) {
    return fmt::format("invalid browse path '{}': {}", path, why);
  };
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = std::min(path.find('/', start), path.size());
    const std::string_view name = path.substr(start, slash - start);
    if (name.empty()) return bad("a name between '/' is empty");
    if (const std::size_t colon = name.find(':'); colon != std::string_view::npos) {
      const std::string_view index = name.substr(0, colon);
      unsigned value = 0;
      const auto [end, ec] = std::from_chars(index.data(), index.data() + index.size(), value);
      if (index.empty() || ec != std::errc{} || end != index.data() + index.size() ||
          value > kMaxNamespaceIndex) {
        return bad(
            fmt::format("'{}' is no namespace index (a number from 0 to 65535 before ':')", index));
      }
      if (colon + 1 == name.size()) return bad(fmt::format("no name after '{}:'", index));
    }
    if (slash == path.size()) return std::nullopt;
    start = slash + 1;
  }
}

std::vector<std::string> node_id_list(std::string_view text) {
  std::vector<std::string> elements = split_list(text);
  for (const std::string& element : elements) {
    if (auto problem = pyqar::node_id_text_problem(element)) {
      throw std::invalid_argument(*problem);
    }
  }
  return elements;
}

std::vector<std::string> browse_path_list(std::string_view text) {
  std::vector<std::string> elements = split_list(text);
  for (const std::string& element : elements) {
    if (auto problem = browse_path_problem(element)) throw std::invalid_argument(*problem);
  }
  return elements;
}

}  // namespace kestrane_config
