#include "structure_decoder.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <iterator>

#include <fmt/format.h>

#include "binary_reader.h"
#include "ua_limits.h"

namespace pyqar::ua {
namespace {

// Standard data types that are written as a built-in type: the built-in ones themselves
// (their NodeIds are their type numbers), the abstract ones (sent as a Variant) and the
// common subtypes of built-in types.
std::optional<BuiltinType> standard_builtin(const NodeId& id) {
  if (id.namespace_index != 0 || id.kind != NodeId::Kind::Numeric) return std::nullopt;
  const std::uint32_t n = id.numeric;
  if (n >= 1 && n <= 25) return static_cast<BuiltinType>(n);
  switch (n) {
    case 26:  // Number
    case 27:  // Integer
    case 28:  // UInteger
      return BuiltinType::Variant;
    case 29:  // Enumeration, when a field names no concrete one
      return BuiltinType::Int32;
    case 288:  // IntegerId
    case 289:  // Counter
      return BuiltinType::UInt32;
    case 290:  // Duration
      return BuiltinType::Double;
    case 291:  // NumericRange
    case 292:  // Time
    case 295:  // LocaleId
      return BuiltinType::String;
    case 293:  // Date
    case 294:  // UtcTime
      return BuiltinType::DateTime;
    case 311:  // ApplicationInstanceCertificate
      return BuiltinType::ByteString;
    default:
      return std::nullopt;
  }
}

// The fewest bytes one element of a built-in type takes, to refuse array counts the body
// cannot hold before looping over them.
std::size_t min_size(BuiltinType t) {
  switch (t) {
    case BuiltinType::Null:
      return 0;
    case BuiltinType::Int16:
    case BuiltinType::UInt16:
      return 2;
    case BuiltinType::Int32:
    case BuiltinType::UInt32:
    case BuiltinType::Float:
    case BuiltinType::StatusCode:
    case BuiltinType::String:
    case BuiltinType::ByteString:
    case BuiltinType::XmlElement:
      return 4;
    case BuiltinType::Int64:
    case BuiltinType::UInt64:
    case BuiltinType::Double:
    case BuiltinType::DateTime:
      return 8;
    case BuiltinType::Guid:
      return 16;
    default:
      return 1;
  }
}

// JSON string escaping of text already made valid UTF-8; runs of plain characters are
// copied whole.
void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  std::size_t plain = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.substr(plain, i - plain));
    plain = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        fmt::format_to(std::back_inserter(out), "\\u{:04x}", static_cast<unsigned>(c));
    }
  }
  out.append(text.substr(plain));
  out += '"';
}

// Text from a server as a JSON string: ASCII without NUL as it is, anything else made safe
// first.
void append_text(std::string& out, std::string_view text) {
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u == 0 || u >= 0x80) return append_quoted(out, safe_text(text));
  }
  append_quoted(out, text);
}

// A String or ByteString in place, without copying it out of the body.
std::string_view string_view_of(BinaryReader& r) {
  const std::int32_t length = r.i32();
  if (length == -1) return {};
  if (length < 0 || length > kMaxStringLength) {
    throw DecodeError(fmt::format("string length {} out of range", length));
  }
  const auto bytes = r.bytes(static_cast<std::size_t>(length));
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

template <typename T>
void append_number(std::string& out, T value) {
  if constexpr (std::is_floating_point_v<T>) {
    // JSON has no NaN or infinity.
    if (!std::isfinite(value)) {
      out += "null";
      return;
    }
  }
  fmt::format_to(std::back_inserter(out), "{}", value);
}

}  // namespace

std::size_t StructureDecoder::NodeIdHash::operator()(const NodeId& id) const noexcept {
  std::size_t h = std::hash<std::uint32_t>{}(id.numeric);
  h = h * 31 + id.namespace_index;
  h = h * 31 + static_cast<std::size_t>(id.kind);
  if (id.kind == NodeId::Kind::String || id.kind == NodeId::Kind::ByteString) {
    h = h * 31 + std::hash<std::string>{}(id.text);
  } else if (id.kind == NodeId::Kind::Guid) {
    h = h * 31 + id.guid.data1;
  }
  return h;
}

// One decoding: the JSON written so far and what it may still take.
class StructureDecoder::Writer {
 public:
  Writer(const StructureDecoder& decoder, Namespaces namespaces, std::size_t max_text,
         std::size_t body_size)
      : decoder_(decoder), namespaces_(namespaces), max_text_(max_text) {
    // Names and digits make the text a few times longer than the body.
    out_.reserve(std::min(max_text, 4 * body_size + 64));
  }

  std::string take() { return std::move(out_); }

  void structure(BinaryReader& r, const StructureDefinition& d) {
    if (depth_ >= kMaxNestingDepth) {
      throw DecodeError(fmt::format("structures nested deeper than {} levels", kMaxNestingDepth));
    }
    ++depth_;
    switch (d.structure_type) {
      case StructureType::Structure:
      case StructureType::StructureWithOptionalFields:
        fields(r, d);
        break;
      case StructureType::Union:
        union_arm(r, d);
        break;
      default:
        throw DecodeError("structures with subtyped values are not supported");
    }
    --depth_;
  }

  // A structure in an ExtensionObject: by its own definition when known.
  void extension(const ExtensionObject& e) {
    if (const StructureDefinition* d = decoder_.structure_by_encoding(e.type_id)) {
      BinaryReader inner(e.body);
      structure(inner, *d);
      left_over(inner);
      return;
    }
    if (e.type_id.is_null() && e.body.empty()) {
      out_ += "null";
      return;
    }
    variant(Variant(BuiltinType::ExtensionObject, false, e));
  }

  static void left_over(const BinaryReader& r) {
    if (r.remaining() != 0) {
      throw DecodeError(fmt::format("{} bytes left over after the structure", r.remaining()));
    }
  }

 private:
  // What a field's data type is written as.
  struct FieldType {
    BuiltinType builtin = BuiltinType::Null;
    const StructureDefinition* structure = nullptr;
    const EnumDefinition* enumeration = nullptr;
  };

  FieldType resolve(const NodeId& data_type) const {
    if (const auto b = standard_builtin(data_type)) return {.builtin = *b};
    const Entry* e = decoder_.find(data_type);
    if (e == nullptr) {
      throw DecodeError(fmt::format("no definition of data type {}", to_string(data_type)));
    }
    if (e->is_builtin) return {.builtin = e->builtin};
    if (const auto* s = std::get_if<StructureDefinition>(&e->definition)) return {.structure = s};
    return {.enumeration = &std::get<EnumDefinition>(e->definition)};
  }

  void fields(BinaryReader& r, const StructureDefinition& d) {
    const bool with_mask = d.structure_type == StructureType::StructureWithOptionalFields;
    std::uint32_t mask = 0;
    if (with_mask) {
      std::size_t optional = 0;
      for (const StructureField& f : d.fields) optional += f.is_optional ? 1 : 0;
      if (optional > 32) throw DecodeError("more than 32 optional fields");
      mask = r.u32();
      if (optional < 32 && (mask >> optional) != 0) {
        throw DecodeError(fmt::format(
            "encoding mask 0x{:08x} names more than the {} optional fields", mask, optional));
      }
    }
    out_ += '{';
    bool first = true;
    std::uint32_t bit = 0;
    for (const StructureField& f : d.fields) {
      if (with_mask && f.is_optional) {
        const bool present = (mask >> bit) & 1U;
        ++bit;
        if (!present) continue;
      }
      if (!first) out_ += ',';
      first = false;
      field(r, f);
    }
    out_ += '}';
  }

  void union_arm(BinaryReader& r, const StructureDefinition& d) {
    const std::uint32_t arm = r.u32();
    if (arm == 0) {
      out_ += "{}";
      return;
    }
    if (arm > d.fields.size()) {
      throw DecodeError(fmt::format("union switch {} beyond its {} fields", arm, d.fields.size()));
    }
    out_ += '{';
    field(r, d.fields[arm - 1]);
    out_ += '}';
  }

  void field(BinaryReader& r, const StructureField& f) {
    append_quoted(out_, f.name);
    out_ += ':';
    try {
      const FieldType type = resolve(f.data_type);
      if (f.value_rank == -1) {
        element(r, type);
      } else if (f.value_rank == 1) {
        array(r, type);
      } else {
        throw DecodeError(fmt::format("value rank {} is not supported", f.value_rank));
      }
    } catch (const DecodeError& e) {
      throw DecodeError(fmt::format("{}: {}", f.name, e.what()));
    }
    if (out_.size() > max_text_) {
      throw DecodeError(fmt::format("decoded text longer than {} bytes", max_text_));
    }
  }

  void array(BinaryReader& r, const FieldType& type) {
    const std::int32_t length = r.i32();
    if (length == -1) {
      out_ += "null";
      return;
    }
    if (length < 0) throw DecodeError(fmt::format("negative array length {}", length));
    const auto n = static_cast<std::size_t>(length);
    elements_ += n;
    if (elements_ > kMaxKeptValueElements) {
      throw DecodeError(fmt::format("more than {} array elements", kMaxKeptValueElements));
    }
    const std::size_t min = type.structure || type.enumeration ? 0 : min_size(type.builtin);
    if (min > 0 && n > r.remaining() / min) {
      throw DecodeError(fmt::format("array of {} elements longer than the body", n));
    }
    out_ += '[';
    for (std::size_t i = 0; i < n; ++i) {
      if (i > 0) out_ += ',';
      element(r, type);
      if (out_.size() > max_text_) {
        throw DecodeError(fmt::format("decoded text longer than {} bytes", max_text_));
      }
    }
    out_ += ']';
  }

  void element(BinaryReader& r, const FieldType& type) {
    if (type.structure) return structure(r, *type.structure);
    if (type.enumeration) return enumeration(r, *type.enumeration);
    builtin(r, type.builtin);
  }

  void enumeration(BinaryReader& r, const EnumDefinition& d) {
    const std::int32_t value = r.i32();
    for (const EnumField& f : d.fields) {
      if (f.value == value) {
        fmt::format_to(std::back_inserter(out_), R"({{"value":{},"name":)", value);
        append_quoted(out_, f.name);
        out_ += '}';
        return;
      }
    }
    append_number(out_, value);
  }

  void builtin(BinaryReader& r, BuiltinType type) {
    switch (type) {
      case BuiltinType::Null:
        out_ += "null";
        return;
      case BuiltinType::Boolean:
        out_ += r.boolean() ? "true" : "false";
        return;
      case BuiltinType::SByte:
        return append_number(out_, static_cast<int>(r.i8()));
      case BuiltinType::Byte:
        return append_number(out_, static_cast<unsigned>(r.u8()));
      case BuiltinType::Int16:
        return append_number(out_, r.i16());
      case BuiltinType::UInt16:
        return append_number(out_, r.u16());
      case BuiltinType::Int32:
        return append_number(out_, r.i32());
      case BuiltinType::UInt32:
        return append_number(out_, r.u32());
      case BuiltinType::Int64:
        return append_number(out_, r.i64());
      case BuiltinType::UInt64:
        return append_number(out_, r.u64());
      case BuiltinType::Float:
        return append_number(out_, r.f32());
      case BuiltinType::Double:
        return append_number(out_, r.f64());
      case BuiltinType::String:
      case BuiltinType::XmlElement:
        return append_text(out_, string_view_of(r));
      case BuiltinType::ByteString:
        return append_quoted(out_, base64_text(string_view_of(r)));
      case BuiltinType::DateTime:
        return append_quoted(out_, date_time_text(r.i64()));
      case BuiltinType::Guid: {
        Guid g;
        g.data1 = r.u32();
        g.data2 = r.u16();
        g.data3 = r.u16();
        const auto b = r.bytes(8);
        std::copy(b.begin(), b.end(), g.data4.begin());
        return variant(Variant(type, false, g));
      }
      case BuiltinType::NodeId:
        return variant(Variant(type, false, decode_node_id(r)));
      case BuiltinType::ExpandedNodeId:
        return variant(Variant(type, false, decode_expanded_node_id_in_full(r)));
      case BuiltinType::StatusCode:
        return variant(Variant(type, false, static_cast<std::uint64_t>(r.u32())));
      case BuiltinType::QualifiedName:
        return variant(Variant(type, false, decode_qualified_name(r)));
      case BuiltinType::LocalizedText:
        return variant(Variant(type, false, decode_localized_text(r)));
      case BuiltinType::ExtensionObject:
        return extension(decode_extension_object(r));
      case BuiltinType::DataValue: {
        const DataValue v = decode_data_value(r);
        if (!v.value) {
          out_ += "null";
          return;
        }
        return variant(*v.value);
      }
      case BuiltinType::Variant:
        return variant(decode_variant(r));
      case BuiltinType::DiagnosticInfo:
        skip_diagnostic_info(r);
        out_ += "null";
        return;
    }
  }

  // A value the value decoder produced, written as it writes it.
  void variant(const Variant& v) {
    if (v.cut) throw DecodeError("a value longer than the limits");
    if (v.type == BuiltinType::ExtensionObject && !v.is_array) {
      const auto& e = std::get<ExtensionObject>(v.scalar);
      if (decoder_.structure_by_encoding(e.type_id)) return extension(e);
    }
    if (v.type == BuiltinType::ExtensionObject && v.is_array && v.dimensions.empty()) {
      out_ += '[';
      for (std::size_t i = 0; i < v.elements.size(); ++i) {
        if (i > 0) out_ += ',';
        extension(std::get<ExtensionObject>(v.elements[i].scalar));
        if (out_.size() > max_text_) {
          throw DecodeError(fmt::format("decoded text longer than {} bytes", max_text_));
        }
      }
      out_ += ']';
      return;
    }
    const std::size_t room = max_text_ > out_.size() ? max_text_ - out_.size() : 0;
    const RenderedValue rendered = render_variant(v, namespaces_, room);
    if (rendered.cut) throw DecodeError("a value longer than the limits");
    if (v.is_array || v.type == BuiltinType::ExtensionObject) {
      out_ += std::get<std::string>(rendered.value);
      return;
    }
    std::visit(
        [this](const auto& x) {
          using T = std::decay_t<decltype(x)>;
          if constexpr (std::is_same_v<T, std::monostate>) {
            out_ += "null";
          } else if constexpr (std::is_same_v<T, bool>) {
            out_ += x ? "true" : "false";
          } else if constexpr (std::is_same_v<T, std::string>) {
            append_quoted(out_, x);
          } else {
            append_number(out_, x);
          }
        },
        rendered.value);
  }

  const StructureDecoder& decoder_;
  Namespaces namespaces_;
  std::size_t max_text_;
  std::string out_;
  int depth_ = 0;
  std::size_t elements_ = 0;
};

void StructureDecoder::add(const NodeId& data_type, DataTypeDefinition definition) {
  // Names are made safe once here rather than in every value.
  if (auto* s = std::get_if<StructureDefinition>(&definition)) {
    for (StructureField& f : s->fields) f.name = safe_text(f.name);
    if (!s->default_encoding_id.is_null()) encodings_[s->default_encoding_id] = data_type;
  } else {
    for (EnumField& f : std::get<EnumDefinition>(definition).fields) f.name = safe_text(f.name);
  }
  types_[data_type] = Entry{.definition = std::move(definition)};
}

void StructureDecoder::add_builtin_subtype(const NodeId& data_type, BuiltinType builtin) {
  types_[data_type] = Entry{.definition = {}, .is_builtin = true, .builtin = builtin};
}

void StructureDecoder::clear() {
  types_.clear();
  encodings_.clear();
}

const StructureDecoder::Entry* StructureDecoder::find(const NodeId& data_type) const {
  const auto it = types_.find(data_type);
  return it == types_.end() ? nullptr : &it->second;
}

const StructureDefinition* StructureDecoder::structure_by_encoding(const NodeId& encoding) const {
  const auto it = encodings_.find(encoding);
  if (it == encodings_.end()) return nullptr;
  const Entry* e = find(it->second);
  return e && !e->is_builtin ? std::get_if<StructureDefinition>(&e->definition) : nullptr;
}

bool StructureDecoder::knows_encoding(const NodeId& encoding_id) const {
  return structure_by_encoding(encoding_id) != nullptr;
}

DecodedStructure StructureDecoder::decode(const ExtensionObject& value, Namespaces namespaces,
                                          std::size_t max_text) const {
  const StructureDefinition* d = structure_by_encoding(value.type_id);
  if (d == nullptr) {
    return {
        .ok = false,
        .text = fmt::format("no structure definition for encoding {}", to_string(value.type_id))};
  }
  try {
    Writer writer(*this, namespaces, max_text, value.body.size());
    BinaryReader r(value.body);
    writer.structure(r, *d);
    Writer::left_over(r);
    std::string text = writer.take();
    if (text.size() > max_text) {
      throw DecodeError(fmt::format("decoded text longer than {} bytes", max_text));
    }
    return {.ok = true, .text = std::move(text)};
  } catch (const std::exception& e) {
    return {.ok = false, .text = fmt::format("{}: {}", to_string(value.type_id), e.what())};
  }
}

std::vector<NodeId> StructureDecoder::missing_types() const {
  std::vector<NodeId> out;
  for (const auto& [id, entry] : types_) {
    const auto* s = std::get_if<StructureDefinition>(&entry.definition);
    if (entry.is_builtin || s == nullptr) continue;
    for (const StructureField& f : s->fields) {
      if (standard_builtin(f.data_type) || types_.contains(f.data_type)) continue;
      if (std::find(out.begin(), out.end(), f.data_type) == out.end()) out.push_back(f.data_type);
    }
  }
  return out;
}

}  // namespace pyqar::ua
