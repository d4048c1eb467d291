#pragma once
// Constants and value types of the OPC access library.
// Plain values; safe to copy between threads.

#include <chrono>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace pyqar {

enum class QAR_RTSOURCE : int { QAR_RTSOURCE_DA = 1, QAR_RTSOURCE_UA = 2 };

enum class QAR_DATATYPE : int { QAR_DATATYPE_REAL = 8 };

enum class QAR_LOG_LEVEL : int {
  QAR_LOG_LEVEL_DEBUG = 0,
  QAR_LOG_LEVEL_INFO = 1,
  QAR_LOG_LEVEL_WARNING = 2,
  QAR_LOG_LEVEL_ERROR = 3,
};

// Quality word: the top two bits of the low byte, as OPC DA defines them.
namespace QAR_QUALITY {
inline constexpr int QAR_HIGH_MASK = 0xC0;
inline constexpr int QAR_HIGH_GOOD = 0xC0;
inline constexpr int QAR_HIGH_UNCERTAIN = 0x40;
inline constexpr int QAR_HIGH_BAD = 0x00;
}  // namespace QAR_QUALITY

using SourceHandle = std::int64_t;
inline constexpr SourceHandle QAR_INVALID_HANDLE = -1;

// One tag to read.
struct TagDescriptor {
  int data_type = static_cast<int>(QAR_DATATYPE::QAR_DATATYPE_REAL);
  int namespace_index = 0;
  std::string tag_name;
};

// A value as read: empty, floating, integer, boolean or text.
using Value = std::variant<std::monostate, double, std::int64_t, bool, std::string>;
using Timestamp = std::chrono::system_clock::time_point;

// One reading, in the order of the descriptors passed to read_values.
struct ValueObject {
  Value value;
  int quality = QAR_QUALITY::QAR_HIGH_BAD;
  Timestamp timestamp{};

  int get_quality() const { return quality; }
  Timestamp get_timestamp() const { return timestamp; }
};

// A server found by discovery: `name` and `schema` are filled by the library.
struct qar_source_desc_t {
  QAR_RTSOURCE source_type = QAR_RTSOURCE::QAR_RTSOURCE_DA;
  std::string name;
  std::string schema;
};

}  // namespace pyqar
