#include "value_conversion.h"

#include "status_code.h"
#include "value_text.h"

namespace pyqar::ua {

ValueObject to_value_object(const DataValue& value, Timestamp now,
                            std::span<const std::string> namespaces,
                            const StructureDecoder* structures, std::string* structure_refusal) {
  ValueObject out;
  if (value.source_timestamp) out.source_timestamp = date_time_point(*value.source_timestamp);
  if (value.server_timestamp) out.server_timestamp = date_time_point(*value.server_timestamp);
  out.timestamp = out.source_timestamp.value_or(out.server_timestamp.value_or(now));
  out.status = value.status.value_or(status::Good);
  switch (severity(out.status)) {
    case Severity::Good:
      out.quality = QAR_QUALITY::QAR_HIGH_GOOD;
      break;
    case Severity::Uncertain:
      out.quality = QAR_QUALITY::QAR_HIGH_UNCERTAIN;
      break;
    case Severity::Bad:
      // A Bad value is not to be used, whatever the server sent with it.
      out.quality = QAR_QUALITY::QAR_HIGH_BAD;
      return out;
  }
  if (value.value) {
    RenderedValue rendered =
        render_variant(*value.value, namespaces, QAR_MAX_VALUE_TEXT_BYTES, structures);
    out.value = std::move(rendered.value);
    if (structure_refusal != nullptr) *structure_refusal = std::move(rendered.structure_refusal);
    out.cut = rendered.cut;
  }
  return out;
}

}  // namespace pyqar::ua
