#include "value_text.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "pyqar/status_names.h"
#include "structure_decoder.h"
#include "ua_limits.h"

namespace pyqar::ua {
namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kUnixEpochTicks = 116444736000000000LL;  // 1601-01-01 to 1970-01-01
// 9999-12-31T23:59:59.9999999Z in ticks.
constexpr std::int64_t kLastTick = 2650467743999999999LL;

// Days since 1970-01-01 as a civil date (proleptic Gregorian).
void civil_from_days(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
}

std::string guid_text(const Guid& g) {
  return fmt::format("{:08x}-{:04x}-{:04x}-{:02x}{:02x}-{:02x}{:02x}{:02x}{:02x}{:02x}{:02x}",
                     g.data1, g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3],
                     g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
}

// "nsu=<uri>;..." when the namespace has a URI in the server's table (indexes change when a
// server restarts; URIs do not), else "ns=<index>;..."; the standard namespace as "i=85".
std::string node_id_text(const NodeId& id, Namespaces namespaces) {
  if (id.namespace_index != 0 && id.namespace_index < namespaces.size() &&
      !namespaces[id.namespace_index].empty()) {
    return to_uri_string(namespaces[id.namespace_index], id);
  }
  return to_string(id);
}

std::string node_id_text(const Variant& v, Namespaces namespaces) {
  if (const auto* e = std::get_if<ExpandedNodeId>(&v.scalar)) {
    if (!e->namespace_uri.empty()) return to_uri_string(e->namespace_uri, e->id);
    return node_id_text(e->id, namespaces);
  }
  return node_id_text(std::get<NodeId>(v.scalar), namespaces);
}

std::string json_string(std::string_view text) { return nlohmann::json(safe_text(text)).dump(); }

// The text of a scalar of a non-numeric type, before it is made safe; nullopt for the types
// written out as JSON or not at all.
std::optional<std::string> scalar_text(const Variant& v, Namespaces namespaces) {
  switch (v.type) {
    case BuiltinType::String:
    case BuiltinType::XmlElement:
      return std::get<std::string>(v.scalar);
    case BuiltinType::ByteString:
      return base64_text(std::get<std::string>(v.scalar));
    case BuiltinType::LocalizedText:
      return std::get<LocalizedText>(v.scalar).text;
    case BuiltinType::QualifiedName:
      return std::get<QualifiedName>(v.scalar).name;
    case BuiltinType::DateTime:
      return date_time_text(std::get<std::int64_t>(v.scalar));
    case BuiltinType::Guid:
      return guid_text(std::get<Guid>(v.scalar));
    case BuiltinType::NodeId:
    case BuiltinType::ExpandedNodeId:
      return node_id_text(v, namespaces);
    case BuiltinType::StatusCode:
      return status_name(static_cast<std::uint32_t>(std::get<std::uint64_t>(v.scalar)));
    default:
      return std::nullopt;
  }
}

// Writes JSON no longer than a limit, leaving out whole elements: whatever is written is
// valid JSON, the brackets still open are closed at the end.
class JsonWriter {
 public:
  JsonWriter(std::size_t limit, Namespaces namespaces, const StructureDecoder* structures)
      : limit_(limit), namespaces_(namespaces), structures_(structures) {}

  bool cut() const { return cut_; }
  std::string take_refusal() { return std::move(refusal_); }
  std::string finish() && { return std::move(out_); }

  void value(const Variant& v) {
    if (v.is_array) return array(v);
    piece(scalar_json(v));
  }

 private:
  // A scalar as JSON; an ExtensionObject the client has no encoding for as its type and its
  // body in base64.
  std::string scalar_json(const Variant& v) const {
    switch (v.type) {
      case BuiltinType::Null:
      case BuiltinType::DiagnosticInfo:
      case BuiltinType::DataValue:
      case BuiltinType::Variant:
        return "null";
      case BuiltinType::Boolean:
        return std::get<bool>(v.scalar) ? "true" : "false";
      case BuiltinType::SByte:
      case BuiltinType::Int16:
      case BuiltinType::Int32:
      case BuiltinType::Int64:
        return std::to_string(std::get<std::int64_t>(v.scalar));
      case BuiltinType::Byte:
      case BuiltinType::UInt16:
      case BuiltinType::UInt32:
      case BuiltinType::UInt64:
        return std::to_string(std::get<std::uint64_t>(v.scalar));
      case BuiltinType::Float:
      case BuiltinType::Double: {
        // JSON has no NaN or infinity.
        const double d = std::get<double>(v.scalar);
        return std::isfinite(d) ? nlohmann::json(d).dump() : "null";
      }
      case BuiltinType::ExtensionObject: {
        const auto& e = std::get<ExtensionObject>(v.scalar);
        if (structures_ != nullptr && structures_->knows_encoding(e.type_id)) {
          const std::size_t used = out_.size() + open_ + 1;
          DecodedStructure decoded =
              structures_->decode(e, namespaces_, limit_ > used ? limit_ - used : 0);
          if (decoded.ok) return std::move(decoded.text);
          if (refusal_.empty()) refusal_ = std::move(decoded.text);
        }
        return fmt::format(R"({{"typeId":{},"body":"{}"}})",
                           json_string(node_id_text(e.type_id, namespaces_)),
                           base64_text(std::string_view(
                               reinterpret_cast<const char*>(e.body.data()), e.body.size())));
      }
      default:
        return json_string(scalar_text(v, namespaces_).value_or(std::string()));
    }
  }

  // Appends `text` as the next element when it fits with the brackets still to close.
  bool piece(std::string_view text) {
    if (cut_) return false;
    const std::size_t comma = need_comma_ ? 1 : 0;
    if (out_.size() + comma + text.size() + open_ > limit_) {
      cut_ = true;
      return false;
    }
    if (comma) out_ += ',';
    out_ += text;
    need_comma_ = true;
    return true;
  }

  void open() {
    if (!piece("[")) return;
    need_comma_ = false;
    ++open_;
  }

  void close() {
    out_ += ']';
    --open_;
    need_comma_ = true;
  }

  // String arrays keep their strings apart from the other elements.
  static std::size_t count(const Variant& v) {
    const auto* strings = std::get_if<std::vector<std::string>>(&v.scalar);
    return strings ? strings->size() : v.elements.size();
  }

  void element(const Variant& v, std::size_t i) {
    if (const auto* strings = std::get_if<std::vector<std::string>>(&v.scalar)) {
      piece(json_string((*strings)[i]));
    } else {
      value(v.elements[i]);
    }
  }

  void array(const Variant& v) {
    const std::size_t before = open_;
    if (matrix_shape_fits(v)) {
      std::size_t next = 0;
      dimension(v, 0, next);
    } else {
      open();
      for (std::size_t i = 0; i < count(v) && !cut_; ++i) element(v, i);
    }
    while (open_ > before) close();
  }

  // Dimensions that describe the elements (fewer when the decoder kept only the first ones).
  static bool matrix_shape_fits(const Variant& v) {
    if (v.dimensions.size() < 2) return false;
    std::size_t total = 1;
    for (const std::int32_t d : v.dimensions) {
      if (d <= 0) return false;
      total *= static_cast<std::size_t>(d);
      if (total > kMaxArrayLength) return false;
    }
    return total == count(v) || (v.cut && total > count(v));
  }

  // A matrix is written row by row, the last index running fastest.
  void dimension(const Variant& v, std::size_t level, std::size_t& next) {
    const std::size_t before = open_;
    open();
    const auto n = static_cast<std::size_t>(v.dimensions[level]);
    for (std::size_t i = 0; i < n && !cut_; ++i) {
      if (level + 1 < v.dimensions.size()) {
        dimension(v, level + 1, next);
      } else if (next < count(v)) {
        element(v, next++);
      } else {
        cut_ = true;  // the decoder kept no more of it
      }
    }
    while (open_ > before) close();
  }

  std::size_t limit_;
  Namespaces namespaces_;
  const StructureDecoder* structures_;
  // Why the first structure met could not be written by its fields.
  mutable std::string refusal_;
  std::string out_;
  std::size_t open_ = 0;
  bool need_comma_ = false;
  bool cut_ = false;
};

// `text` cut to at most `max` bytes at a character boundary.
bool cut_text(std::string& text, std::size_t max) {
  if (text.size() <= max) return false;
  std::size_t end = max;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return true;
}

}  // namespace

std::string safe_text(std::string_view text) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c >= 0x01 && c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    // The length of a well-formed sequence starting here; 0 when it is not one.
    std::size_t len = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
    }
    bool ok = len > 0 && i + len <= n;
    for (std::size_t k = 1; ok && k < len; ++k) ok = (p[i + k] & 0xC0) == 0x80;
    if (ok && len >= 3) {
      const unsigned char c1 = p[i + 1];
      // Overlong forms, UTF-16 surrogates and code points beyond U+10FFFF.
      if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F) || (c == 0xF0 && c1 < 0x90) ||
          (c == 0xF4 && c1 > 0x8F)) {
        ok = false;
      }
    }
    if (ok) {
      out.append(text.substr(i, len));
      i += len;
    } else {
      out.append(kReplacement);
      ++i;
    }
  }
  return out;
}

std::string date_time_text(std::int64_t ticks) {
  ticks = std::clamp<std::int64_t>(ticks, 0, kLastTick);
  const std::int64_t seconds = ticks / kTicksPerSecond - kUnixEpochTicks / kTicksPerSecond;
  const std::int64_t fraction = ticks % kTicksPerSecond;
  const std::int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
  const std::int64_t in_day = seconds - days * 86400;
  std::int64_t year = 0;
  unsigned month = 0;
  unsigned day = 0;
  civil_from_days(days, year, month, day);
  // Written digit by digit: every event carries two of these, thousands a second.
  char text[32];
  char* at = text;
  const auto put = [&at](std::int64_t number, int width) {
    for (int i = width - 1; i >= 0; --i) {
      at[i] = static_cast<char>('0' + number % 10);
      number /= 10;
    }
    at += width;
  };
  put(year, 4);  // 1601-9999: the ticks are clamped above
  *at++ = '-';
  put(month, 2);
  *at++ = '-';
  put(day, 2);
  *at++ = 'T';
  put(in_day / 3600, 2);
  *at++ = ':';
  put(in_day / 60 % 60, 2);
  *at++ = ':';
  put(in_day % 60, 2);
  if (fraction != 0) {
    *at++ = '.';
    put(fraction, 7);
    while (at[-1] == '0') --at;
  }
  *at++ = 'Z';
  return std::string(text, at);
}

std::optional<Timestamp> date_time_point(std::int64_t ticks) {
  using tick = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
  // What the clock can hold either side of 1970, in ticks.
  constexpr std::int64_t kReach =
      std::chrono::duration_cast<tick>(Timestamp::duration::max()).count();
  if (ticks <= 0) return std::nullopt;
  const std::int64_t offset = ticks - kUnixEpochTicks;  // no overflow: ticks is positive
  if (offset > kReach || offset < -kReach) return std::nullopt;
  return Timestamp(std::chrono::duration_cast<Timestamp::duration>(tick(offset)));
}

RenderedValue render_variant(const Variant& v, Namespaces namespaces, std::size_t max_text,
                             const StructureDecoder* structures) {
  RenderedValue out;
  if (v.is_array || v.type == BuiltinType::ExtensionObject) {
    JsonWriter json(max_text, namespaces, structures);
    json.value(v);
    out.cut = json.cut() || v.cut;
    out.structure_refusal = json.take_refusal();
    std::string text = std::move(json).finish();
    if (text.empty()) {
      // Only a structure whose body alone passes the limit: its type is kept.
      const auto* e = std::get_if<ExtensionObject>(&v.scalar);
      text =
          e ? fmt::format(R"({{"typeId":{}}})", json_string(node_id_text(e->type_id, namespaces)))
            : "[]";
    }
    out.value = std::move(text);
    return out;
  }
  out.cut = v.cut;
  switch (v.type) {
    case BuiltinType::Null:
    case BuiltinType::DiagnosticInfo:
    case BuiltinType::DataValue:
    case BuiltinType::Variant:
      return out;
    case BuiltinType::Boolean:
      out.value = std::get<bool>(v.scalar);
      return out;
    case BuiltinType::SByte:
    case BuiltinType::Int16:
    case BuiltinType::Int32:
    case BuiltinType::Int64:
      out.value = std::get<std::int64_t>(v.scalar);
      return out;
    case BuiltinType::Byte:
    case BuiltinType::UInt16:
    case BuiltinType::UInt32:
    case BuiltinType::UInt64:
      out.value = std::get<std::uint64_t>(v.scalar);
      return out;
    case BuiltinType::Float:
    case BuiltinType::Double:
      out.value = std::get<double>(v.scalar);
      return out;
    default: {
      std::string text = safe_text(scalar_text(v, namespaces).value_or(std::string()));
      if (cut_text(text, max_text)) out.cut = true;
      out.value = std::move(text);
      return out;
    }
  }
}

}  // namespace pyqar::ua
