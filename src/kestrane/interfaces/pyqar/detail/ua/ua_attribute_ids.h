#pragma once
// The attribute ids the client reads, monitors and selects (namespace 0 numbering).

#include <cstdint>

namespace pyqar::ua {

inline constexpr std::uint32_t kAttributeNodeId = 1;
inline constexpr std::uint32_t kAttributeNodeClass = 2;
inline constexpr std::uint32_t kAttributeBrowseName = 3;
inline constexpr std::uint32_t kAttributeDisplayName = 4;
inline constexpr std::uint32_t kAttributeDescription = 5;
inline constexpr std::uint32_t kAttributeEventNotifier = 12;
inline constexpr std::uint32_t kAttributeValue = 13;
inline constexpr std::uint32_t kAttributeDataType = 14;
inline constexpr std::uint32_t kAttributeAccessLevel = 17;
inline constexpr std::uint32_t kAttributeDataTypeDefinition = 23;

}  // namespace pyqar::ua
