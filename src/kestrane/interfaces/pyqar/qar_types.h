#pragma once
// Constants and value types of the OPC access library.
// Plain values; safe to copy between threads.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
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

// Status codes as OPC UA defines them (32 bits, the top two the severity), and the ones a
// source without status codes (the DA simulation) gives for its quality words.
namespace QAR_STATUS {
inline constexpr std::uint32_t QAR_STATUS_GOOD = 0x00000000;
inline constexpr std::uint32_t QAR_STATUS_UNCERTAIN = 0x40000000;
inline constexpr std::uint32_t QAR_STATUS_BAD = 0x80000000;
}  // namespace QAR_STATUS

// A value as read: empty, floating, signed or unsigned integer (kept exactly), boolean, or
// text. Text is every other type, written out: strings, localized texts and qualified names as
// their text, DateTime in ISO 8601 UTC, Guid, ByteString in base64, NodeId in its text form,
// and arrays and structures as JSON.
using Value = std::variant<std::monostate, double, std::int64_t, bool, std::string, std::uint64_t>;
using Timestamp = std::chrono::system_clock::time_point;

// The longest text a value keeps, in bytes; longer ones are cut (JSON at an element, so that
// it stays valid JSON) and marked `cut`.
inline constexpr std::size_t QAR_MAX_VALUE_TEXT_BYTES = 64 * 1024;

// One reading, in the order of the descriptors passed to read_values.
struct ValueObject {
  Value value;
  int quality = QAR_QUALITY::QAR_HIGH_BAD;
  // The source time, else the server time, else the time of the read.
  Timestamp timestamp{};
  std::uint32_t status = QAR_STATUS::QAR_STATUS_BAD;  // the full status code
  std::optional<Timestamp> source_timestamp{};        // as the server gave them; absent when
  std::optional<Timestamp> server_timestamp{};        // it sent none
  bool cut = false;  // the value's text was cut at QAR_MAX_VALUE_TEXT_BYTES

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
