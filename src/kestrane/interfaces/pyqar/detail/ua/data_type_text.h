#pragma once
// How a variable's data type is written where people read it (the tags table, the browse
// tool's DataType column): a standard type by its name ("Double", "Duration"), any other as
// NodeId text naming its namespace by URI ("nsu=urn:example;s=Types.DriveStatus"). Pure
// function; any thread.

#include <string>

#include "node_id.h"
#include "value_text.h"

namespace pyqar::ua {

// A namespace 0 type the table does not name is written "i=<number>".
std::string data_type_text(const NodeId& data_type, Namespaces namespaces = {});

}  // namespace pyqar::ua
