#pragma once
// What a server says of one variable beside its value: its data type, engineering unit and
// range, description and access level. Plain values; safe to copy between threads.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pyqar {

// One name of an enumeration's values.
struct EnumName {
  std::int64_t value = 0;
  std::string name;
  friend bool operator==(const EnumName&, const EnumName&) = default;
};

struct VariableMetadata {
  // Good (0) when the variable's attributes were read; else why not (BadNodeIdUnknown ...),
  // and every field below is unset.
  std::uint32_t status = 0;
  // A standard type's name ("Double", "Duration"), else NodeId text with the namespace URI
  // ("nsu=urn:example;s=Types.Mode").
  std::optional<std::string> data_type{};
  // The EngineeringUnits property (EUInformation): display name and unit id.
  std::optional<std::string> unit{};
  std::optional<std::int32_t> unit_id{};
  // The EURange property (Range).
  std::optional<double> eu_low{};
  std::optional<double> eu_high{};
  // The AccessLevel attribute: bit 1 readable, 2 writable, 4 history readable, 8 history
  // writable.
  std::optional<std::uint32_t> access_level{};
  // The Description attribute's text; unset when empty.
  std::optional<std::string> description{};
  // When the data type is an enumeration: the names of its values (EnumDefinition, else
  // EnumStrings or EnumValues), in the server's order; empty otherwise.
  std::vector<EnumName> enum_names{};
  friend bool operator==(const VariableMetadata&, const VariableMetadata&) = default;
};

}  // namespace pyqar
