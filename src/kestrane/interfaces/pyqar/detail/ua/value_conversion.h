#pragma once
// How a DataValue read from a server becomes the library's ValueObject: numeric and boolean
// scalars become doubles, the quality word follows the status severity, and the timestamp is
// the source time, else the server time, else `now`. Pure function; any thread.

#include "pyqar/qar_types.h"
#include "ua_codec.h"

namespace pyqar::ua {

ValueObject to_value_object(const DataValue& value, Timestamp now);

}  // namespace pyqar::ua
