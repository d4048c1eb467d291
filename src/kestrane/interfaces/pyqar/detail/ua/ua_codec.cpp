#include "ua_codec.h"

#include <algorithm>
#include <limits>

#include <fmt/format.h>

#include "ua_limits.h"

namespace pyqar::ua {
namespace {

// Ticks between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kUnixEpochTicks = 116444736000000000LL;

constexpr std::uint8_t kNodeIdTwoByte = 0x00;
constexpr std::uint8_t kNodeIdFourByte = 0x01;
constexpr std::uint8_t kNodeIdNumeric = 0x02;
constexpr std::uint8_t kNodeIdString = 0x03;
constexpr std::uint8_t kNodeIdGuid = 0x04;
constexpr std::uint8_t kNodeIdByteString = 0x05;
constexpr std::uint8_t kExpandedNamespaceUri = 0x80;
constexpr std::uint8_t kExpandedServerIndex = 0x40;

constexpr std::uint8_t kVariantArray = 0x80;
constexpr std::uint8_t kVariantDimensions = 0x40;
constexpr std::uint8_t kVariantTypeMask = 0x3F;

constexpr std::uint8_t kDataValueValue = 0x01;
constexpr std::uint8_t kDataValueStatus = 0x02;
constexpr std::uint8_t kDataValueSourceTime = 0x04;
constexpr std::uint8_t kDataValueServerTime = 0x08;
constexpr std::uint8_t kDataValueSourcePico = 0x10;
constexpr std::uint8_t kDataValueServerPico = 0x20;

Guid decode_guid(BinaryReader& r) {
  Guid g;
  g.data1 = r.u32();
  g.data2 = r.u16();
  g.data3 = r.u16();
  auto b = r.bytes(8);
  std::copy(b.begin(), b.end(), g.data4.begin());
  return g;
}

void encode_guid(BinaryWriter& w, const Guid& g) {
  w.u32(g.data1);
  w.u16(g.data2);
  w.u16(g.data3);
  w.bytes(g.data4);
}

NodeId decode_node_id_body(BinaryReader& r, std::uint8_t encoding) {
  NodeId id;
  switch (encoding) {
    case kNodeIdTwoByte:
      id.numeric = r.u8();
      break;
    case kNodeIdFourByte:
      id.namespace_index = r.u8();
      id.numeric = r.u16();
      break;
    case kNodeIdNumeric:
      id.namespace_index = r.u16();
      id.numeric = r.u32();
      break;
    case kNodeIdString:
      id.namespace_index = r.u16();
      id.kind = NodeId::Kind::String;
      id.text = r.string();
      break;
    case kNodeIdGuid:
      id.namespace_index = r.u16();
      id.kind = NodeId::Kind::Guid;
      id.guid = decode_guid(r);
      break;
    case kNodeIdByteString:
      id.namespace_index = r.u16();
      id.kind = NodeId::Kind::ByteString;
      id.text = r.string();
      break;
    default:
      throw DecodeError(fmt::format("unknown NodeId encoding 0x{:02x}", encoding));
  }
  return id;
}

// Minimum encoded size of one element of each built-in type, for array count checks.
std::size_t min_size(BuiltinType t) {
  switch (t) {
    case BuiltinType::Boolean:
    case BuiltinType::SByte:
    case BuiltinType::Byte:
      return 1;
    case BuiltinType::Int16:
    case BuiltinType::UInt16:
      return 2;
    case BuiltinType::Int64:
    case BuiltinType::UInt64:
    case BuiltinType::Double:
    case BuiltinType::DateTime:
      return 8;
    case BuiltinType::Guid:
      return 16;
    case BuiltinType::Int32:
    case BuiltinType::UInt32:
    case BuiltinType::Float:
    case BuiltinType::StatusCode:
    case BuiltinType::String:
    case BuiltinType::ByteString:
    case BuiltinType::XmlElement:
      return 4;
    default:
      return 1;
  }
}

// Reads an ExtensionObject's encoding byte: whether a body (binary or XML) follows.
bool extension_object_has_body(BinaryReader& r) {
  const std::uint8_t encoding = r.u8();
  if (encoding == 0x00) return false;
  if (encoding != 0x01 && encoding != 0x02) {
    throw DecodeError(fmt::format("unknown ExtensionObject encoding 0x{:02x}", encoding));
  }
  return true;
}

// What one value read from a server may still keep; shared by its nested parts.
struct KeepBudget {
  std::size_t bytes = 1024 * 1024;
  std::size_t elements = kMaxKeptValueElements;
  bool cut = false;
};

std::string kept_string(BinaryReader& r, KeepBudget& budget) {
  std::string s = r.string_prefix(std::min(kMaxKeptValueBytes, budget.bytes), budget.cut);
  budget.bytes -= s.size();
  return s;
}

ExtensionObject decode_kept_extension_object(BinaryReader& r, KeepBudget& budget) {
  ExtensionObject e;
  e.type_id = decode_node_id(r);
  if (!extension_object_has_body(r)) return e;
  const std::string body = kept_string(r, budget);
  e.body.assign(body.begin(), body.end());
  return e;
}

Variant decode_variant_in(BinaryReader& r, KeepBudget& budget);
DataValue decode_data_value_in(BinaryReader& r, KeepBudget& budget);

// Decodes one element of `type` into `out`.
void decode_element(BinaryReader& r, BuiltinType type, Variant& out, KeepBudget& budget) {
  switch (type) {
    case BuiltinType::Null:
      break;
    case BuiltinType::Boolean:
      out.scalar = r.boolean();
      break;
    case BuiltinType::SByte:
      out.scalar = static_cast<std::int64_t>(r.i8());
      break;
    case BuiltinType::Byte:
      out.scalar = static_cast<std::uint64_t>(r.u8());
      break;
    case BuiltinType::Int16:
      out.scalar = static_cast<std::int64_t>(r.i16());
      break;
    case BuiltinType::UInt16:
      out.scalar = static_cast<std::uint64_t>(r.u16());
      break;
    case BuiltinType::Int32:
      out.scalar = static_cast<std::int64_t>(r.i32());
      break;
    case BuiltinType::UInt32:
    case BuiltinType::StatusCode:
      out.scalar = static_cast<std::uint64_t>(r.u32());
      break;
    case BuiltinType::Int64:
    case BuiltinType::DateTime:
      out.scalar = r.i64();
      break;
    case BuiltinType::UInt64:
      out.scalar = r.u64();
      break;
    case BuiltinType::Float:
      out.scalar = static_cast<double>(r.f32());
      break;
    case BuiltinType::Double:
      out.scalar = r.f64();
      break;
    case BuiltinType::String:
    case BuiltinType::ByteString:
    case BuiltinType::XmlElement:
      out.scalar = kept_string(r, budget);
      break;
    case BuiltinType::Guid:
      out.scalar = decode_guid(r);
      break;
    case BuiltinType::NodeId:
      out.scalar = decode_node_id(r);
      break;
    case BuiltinType::ExpandedNodeId:
      out.scalar = decode_expanded_node_id_in_full(r);
      break;
    case BuiltinType::QualifiedName:
      out.scalar = decode_qualified_name(r);
      break;
    case BuiltinType::LocalizedText:
      out.scalar = decode_localized_text(r);
      break;
    case BuiltinType::ExtensionObject:
      out.scalar = decode_kept_extension_object(r, budget);
      break;
    case BuiltinType::DataValue: {
      DataValue inner = decode_data_value_in(r, budget);
      out = inner.value ? std::move(*inner.value) : Variant{};
      break;
    }
    case BuiltinType::Variant:
      out = decode_variant_in(r, budget);
      break;
    case BuiltinType::DiagnosticInfo:
      skip_diagnostic_info(r);
      break;
  }
}

Variant decode_variant_in(BinaryReader& r, KeepBudget& budget) {
  BinaryReader::DepthGuard depth(r);
  Variant v;
  const std::uint8_t mask = r.u8();
  const std::uint8_t type = mask & kVariantTypeMask;
  if (type > static_cast<std::uint8_t>(BuiltinType::DiagnosticInfo)) {
    throw DecodeError(fmt::format("unknown Variant type {}", type));
  }
  v.type = static_cast<BuiltinType>(type);
  if (mask & kVariantArray) {
    // Null elements take no bytes, so a count of them could not be checked against the
    // message: such an array is refused rather than looped over.
    if (v.type == BuiltinType::Null) throw DecodeError("Variant array of Null elements");
    v.is_array = true;
    const std::size_t n = r.array_length(min_size(v.type));
    std::vector<std::string> strings;
    for (std::size_t i = 0; i < n; ++i) {
      Variant element(v.type, false, {});
      decode_element(r, v.type, element, budget);
      // Past the budget the elements are still decoded, to move on in the message, but no
      // longer stored.
      if (budget.elements == 0 || !r.keep_element()) {
        budget.cut = true;
        continue;
      }
      --budget.elements;
      if (v.type == BuiltinType::String) {
        strings.push_back(std::move(std::get<std::string>(element.scalar)));
      } else {
        v.elements.push_back(std::move(element));
      }
    }
    if (v.type == BuiltinType::String) v.scalar = std::move(strings);
    if (mask & kVariantDimensions) {
      const std::size_t dims = r.array_length(4);
      v.dimensions.reserve(dims);
      for (std::size_t i = 0; i < dims; ++i) v.dimensions.push_back(r.i32());
    }
    return v;
  }
  if (mask & kVariantDimensions) throw DecodeError("Variant scalar with array dimensions");
  decode_element(r, v.type, v, budget);
  return v;
}

DataValue decode_data_value_in(BinaryReader& r, KeepBudget& budget) {
  BinaryReader::DepthGuard depth(r);
  DataValue v;
  const std::uint8_t mask = r.u8();
  if (mask & kDataValueValue) v.value = decode_variant_in(r, budget);
  if (mask & kDataValueStatus) v.status = r.u32();
  if (mask & kDataValueSourceTime) v.source_timestamp = r.i64();
  if (mask & kDataValueSourcePico) r.u16();
  if (mask & kDataValueServerTime) v.server_timestamp = r.i64();
  if (mask & kDataValueServerPico) r.u16();
  return v;
}

}  // namespace

std::int64_t to_date_time(std::chrono::system_clock::time_point t) {
  using ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
  return std::chrono::duration_cast<ticks>(t.time_since_epoch()).count() + kUnixEpochTicks;
}

std::chrono::system_clock::time_point from_date_time(std::int64_t ticks) {
  using tick = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
  // Clamp far-off times instead of overflowing the clock's range.
  constexpr std::int64_t kMaxOffset = std::numeric_limits<std::int64_t>::max() / 100;
  std::int64_t offset =
      ticks < -kMaxOffset + kUnixEpochTicks ? -kMaxOffset : ticks - kUnixEpochTicks;
  offset = std::min(offset, kMaxOffset);
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(tick(offset)));
}

void encode_node_id(BinaryWriter& w, const NodeId& id) {
  switch (id.kind) {
    case NodeId::Kind::Numeric:
      if (id.namespace_index == 0 && id.numeric <= 0xFF) {
        w.u8(kNodeIdTwoByte);
        w.u8(static_cast<std::uint8_t>(id.numeric));
      } else if (id.namespace_index <= 0xFF && id.numeric <= 0xFFFF) {
        w.u8(kNodeIdFourByte);
        w.u8(static_cast<std::uint8_t>(id.namespace_index));
        w.u16(static_cast<std::uint16_t>(id.numeric));
      } else {
        w.u8(kNodeIdNumeric);
        w.u16(id.namespace_index);
        w.u32(id.numeric);
      }
      return;
    case NodeId::Kind::String:
      w.u8(kNodeIdString);
      w.u16(id.namespace_index);
      w.string(id.text);
      return;
    case NodeId::Kind::Guid:
      w.u8(kNodeIdGuid);
      w.u16(id.namespace_index);
      encode_guid(w, id.guid);
      return;
    case NodeId::Kind::ByteString:
      w.u8(kNodeIdByteString);
      w.u16(id.namespace_index);
      w.string(id.text);
      return;
  }
}

NodeId decode_node_id(BinaryReader& r) { return decode_node_id_body(r, r.u8()); }

NodeId decode_expanded_node_id(BinaryReader& r) {
  const std::uint8_t encoding = r.u8();
  NodeId id = decode_node_id_body(r, encoding & 0x3F);
  if (encoding & kExpandedNamespaceUri) r.skip_string();
  if (encoding & kExpandedServerIndex) r.u32();
  return id;
}

void encode_localized_text(BinaryWriter& w, const LocalizedText& t) {
  const std::uint8_t mask = (t.locale.empty() ? 0 : 0x01) | (t.text.empty() ? 0 : 0x02);
  w.u8(mask);
  if (mask & 0x01) w.string(t.locale);
  if (mask & 0x02) w.string(t.text);
}

ExpandedNodeId decode_expanded_node_id_in_full(BinaryReader& r) {
  const std::uint8_t encoding = r.u8();
  ExpandedNodeId out;
  out.id = decode_node_id_body(r, encoding & 0x3F);
  if (encoding & kExpandedNamespaceUri) out.namespace_uri = r.string();
  if (encoding & kExpandedServerIndex) out.server_index = r.u32();
  return out;
}

LocalizedText decode_localized_text(BinaryReader& r) {
  LocalizedText t;
  const std::uint8_t mask = r.u8();
  if (mask & 0x01) t.locale = r.string();
  if (mask & 0x02) t.text = r.string();
  return t;
}

void skip_qualified_name(BinaryReader& r) {
  r.u16();
  r.skip_string();
}

QualifiedName decode_qualified_name(BinaryReader& r) {
  QualifiedName q;
  q.namespace_index = r.u16();
  q.name = r.string();
  return q;
}

void encode_extension_object(BinaryWriter& w, const ExtensionObject& e) {
  encode_node_id(w, e.type_id);
  if (e.type_id.is_null() && e.body.empty()) {
    w.u8(0x00);
    return;
  }
  w.u8(0x01);
  w.i32(static_cast<std::int32_t>(e.body.size()));
  w.bytes(e.body);
}

ExtensionObject decode_extension_object(BinaryReader& r) {
  ExtensionObject e;
  e.type_id = decode_node_id(r);
  if (!extension_object_has_body(r)) return e;
  const std::int32_t length = r.i32();
  if (length < -1) throw DecodeError(fmt::format("negative ExtensionObject length {}", length));
  if (length > 0) {
    auto body = r.bytes(static_cast<std::size_t>(length));
    e.body.assign(body.begin(), body.end());
  }
  return e;
}

void skip_extension_object(BinaryReader& r) {
  decode_node_id(r);
  if (!extension_object_has_body(r)) return;
  const std::int32_t length = r.i32();
  if (length < -1) throw DecodeError(fmt::format("negative ExtensionObject length {}", length));
  if (length > 0) r.skip(static_cast<std::size_t>(length));
}

namespace {

void encode_element(BinaryWriter& w, BuiltinType type, const Variant& v) {
  const auto as_int = [&] { return std::get<std::int64_t>(v.scalar); };
  const auto as_uint = [&] { return std::get<std::uint64_t>(v.scalar); };
  switch (type) {
    case BuiltinType::Null:
      return;
    case BuiltinType::Boolean:
      return w.boolean(std::get<bool>(v.scalar));
    case BuiltinType::SByte:
      return w.u8(static_cast<std::uint8_t>(as_int()));
    case BuiltinType::Byte:
      return w.u8(static_cast<std::uint8_t>(as_uint()));
    case BuiltinType::Int16:
      return w.i16(static_cast<std::int16_t>(as_int()));
    case BuiltinType::UInt16:
      return w.u16(static_cast<std::uint16_t>(as_uint()));
    case BuiltinType::Int32:
      return w.i32(static_cast<std::int32_t>(as_int()));
    case BuiltinType::UInt32:
    case BuiltinType::StatusCode:
      return w.u32(static_cast<std::uint32_t>(as_uint()));
    case BuiltinType::Int64:
    case BuiltinType::DateTime:
      return w.i64(as_int());
    case BuiltinType::UInt64:
      return w.u64(as_uint());
    case BuiltinType::Float:
      return w.f32(static_cast<float>(std::get<double>(v.scalar)));
    case BuiltinType::Double:
      return w.f64(std::get<double>(v.scalar));
    case BuiltinType::String:
    case BuiltinType::ByteString:
    case BuiltinType::XmlElement:
      return w.string(std::get<std::string>(v.scalar));
    case BuiltinType::Guid:
      return encode_guid(w, std::get<Guid>(v.scalar));
    case BuiltinType::NodeId:
      return encode_node_id(w, std::get<NodeId>(v.scalar));
    case BuiltinType::QualifiedName: {
      const auto& q = std::get<QualifiedName>(v.scalar);
      w.u16(q.namespace_index);
      return w.string(q.name);
    }
    case BuiltinType::LocalizedText:
      return encode_localized_text(w, std::get<LocalizedText>(v.scalar));
    case BuiltinType::ExtensionObject:
      return encode_extension_object(w, std::get<ExtensionObject>(v.scalar));
    case BuiltinType::Variant:
      return encode_variant(w, v);
    default:
      throw std::invalid_argument(
          fmt::format("encoding Variant type {} is not supported", static_cast<int>(type)));
  }
}

}  // namespace

void encode_variant(BinaryWriter& w, const Variant& v) {
  if (!v.is_array) {
    if (v.type == BuiltinType::Variant) {
      throw std::invalid_argument("a Variant scalar cannot hold a Variant");
    }
    w.u8(static_cast<std::uint8_t>(v.type));
    return encode_element(w, v.type, v);
  }
  w.u8(static_cast<std::uint8_t>(static_cast<std::uint8_t>(v.type) | kVariantArray |
                                 (v.dimensions.empty() ? 0 : kVariantDimensions)));
  if (const auto* strings = std::get_if<std::vector<std::string>>(&v.scalar)) {
    w.i32(static_cast<std::int32_t>(strings->size()));
    for (const std::string& s : *strings) w.string(s);
  } else {
    w.i32(static_cast<std::int32_t>(v.elements.size()));
    for (const Variant& e : v.elements) encode_element(w, v.type, e);
  }
  if (!v.dimensions.empty()) {
    w.i32(static_cast<std::int32_t>(v.dimensions.size()));
    for (const std::int32_t d : v.dimensions) w.i32(d);
  }
}

Variant decode_variant(BinaryReader& r) {
  KeepBudget budget;
  Variant v = decode_variant_in(r, budget);
  v.cut = budget.cut;
  return v;
}

void encode_data_value(BinaryWriter& w, const DataValue& v) {
  std::uint8_t mask = 0;
  if (v.value) mask |= kDataValueValue;
  if (v.status) mask |= kDataValueStatus;
  if (v.source_timestamp) mask |= kDataValueSourceTime;
  if (v.server_timestamp) mask |= kDataValueServerTime;
  w.u8(mask);
  if (v.value) encode_variant(w, *v.value);
  if (v.status) w.u32(*v.status);
  if (v.source_timestamp) w.i64(*v.source_timestamp);
  if (v.server_timestamp) w.i64(*v.server_timestamp);
}

DataValue decode_data_value(BinaryReader& r) {
  KeepBudget budget;
  DataValue v = decode_data_value_in(r, budget);
  if (v.value) v.value->cut = budget.cut;
  return v;
}

void skip_diagnostic_info(BinaryReader& r) {
  BinaryReader::DepthGuard depth(r);
  const std::uint8_t mask = r.u8();
  if (mask & 0x01) r.i32();          // symbolic id
  if (mask & 0x02) r.i32();          // namespace URI
  if (mask & 0x08) r.i32();          // locale
  if (mask & 0x04) r.i32();          // localized text
  if (mask & 0x10) r.skip_string();  // additional info
  if (mask & 0x20) r.u32();          // inner status code
  if (mask & 0x40) skip_diagnostic_info(r);
}

}  // namespace pyqar::ua
