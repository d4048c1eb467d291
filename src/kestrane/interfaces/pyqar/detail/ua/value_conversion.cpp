#include "value_conversion.h"

#include "status_code.h"

namespace pyqar::ua {
namespace {

std::optional<double> as_double(const Variant& v) {
  if (v.is_array) return std::nullopt;
  switch (v.type) {
    case BuiltinType::Boolean:
      return std::get<bool>(v.scalar) ? 1.0 : 0.0;
    case BuiltinType::SByte:
    case BuiltinType::Int16:
    case BuiltinType::Int32:
    case BuiltinType::Int64:
      return static_cast<double>(std::get<std::int64_t>(v.scalar));
    case BuiltinType::Byte:
    case BuiltinType::UInt16:
    case BuiltinType::UInt32:
    case BuiltinType::UInt64:
      return static_cast<double>(std::get<std::uint64_t>(v.scalar));
    case BuiltinType::Float:
    case BuiltinType::Double:
      return std::get<double>(v.scalar);
    default:
      return std::nullopt;
  }
}

}  // namespace

ValueObject to_value_object(const DataValue& value, Timestamp now) {
  ValueObject out;
  if (value.source_timestamp && *value.source_timestamp > 0) {
    out.timestamp = from_date_time(*value.source_timestamp);
  } else if (value.server_timestamp && *value.server_timestamp > 0) {
    out.timestamp = from_date_time(*value.server_timestamp);
  } else {
    out.timestamp = now;
  }
  const Severity sev = severity(value.status.value_or(0));
  const std::optional<double> number = value.value ? as_double(*value.value) : std::nullopt;
  if (sev == Severity::Bad || !number) {
    out.quality = QAR_QUALITY::QAR_HIGH_BAD;
    return out;
  }
  out.value = *number;
  out.quality =
      sev == Severity::Good ? QAR_QUALITY::QAR_HIGH_GOOD : QAR_QUALITY::QAR_HIGH_UNCERTAIN;
  return out;
}

}  // namespace pyqar::ua
