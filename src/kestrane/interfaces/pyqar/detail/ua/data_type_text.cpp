#include "data_type_text.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>
#include <utility>

namespace pyqar::ua {
namespace {

// The standard data types a variable's DataType commonly names, sorted by id.
constexpr std::array<std::pair<std::uint32_t, std::string_view>, 50> kStandardTypes{{
    {1, "Boolean"},
    {2, "SByte"},
    {3, "Byte"},
    {4, "Int16"},
    {5, "UInt16"},
    {6, "Int32"},
    {7, "UInt32"},
    {8, "Int64"},
    {9, "UInt64"},
    {10, "Float"},
    {11, "Double"},
    {12, "String"},
    {13, "DateTime"},
    {14, "Guid"},
    {15, "ByteString"},
    {16, "XmlElement"},
    {17, "NodeId"},
    {18, "ExpandedNodeId"},
    {19, "StatusCode"},
    {20, "QualifiedName"},
    {21, "LocalizedText"},
    {22, "Structure"},
    {23, "DataValue"},
    {24, "BaseDataType"},
    {25, "DiagnosticInfo"},
    {26, "Number"},
    {27, "Integer"},
    {28, "UInteger"},
    {29, "Enumeration"},
    {30, "Image"},
    {50, "Decimal"},
    {256, "IdType"},
    {257, "NodeClass"},
    {288, "IntegerId"},
    {289, "Counter"},
    {290, "Duration"},
    {291, "NumericRange"},
    {292, "Time"},
    {293, "Date"},
    {294, "UtcTime"},
    {295, "LocaleId"},
    {338, "BuildInfo"},
    {852, "ServerState"},
    {862, "ServerStatusDataType"},
    {884, "Range"},
    {887, "EUInformation"},
    {3069, "AccessLevelType"},
    {11737, "BitFieldMaskDataType"},
    {12755, "OptionSet"},
    {20998, "VersionTime"},
}};

}  // namespace

std::string data_type_text(const NodeId& data_type, Namespaces namespaces) {
  if (data_type.namespace_index == 0 && data_type.kind == NodeId::Kind::Numeric) {
    const auto* it =
        std::lower_bound(kStandardTypes.begin(), kStandardTypes.end(), data_type.numeric,
                         [](const std::pair<std::uint32_t, std::string_view>& e, std::uint32_t id) {
                           return e.first < id;
                         });
    if (it != kStandardTypes.end() && it->first == data_type.numeric) {
      return std::string(it->second);
    }
    return to_string(data_type);
  }
  if (data_type.namespace_index != 0 && data_type.namespace_index < namespaces.size() &&
      !namespaces[data_type.namespace_index].empty()) {
    return to_uri_string(namespaces[data_type.namespace_index], data_type);
  }
  return to_string(data_type);
}

}  // namespace pyqar::ua
