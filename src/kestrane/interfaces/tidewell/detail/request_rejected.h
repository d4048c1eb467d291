#pragma once
// The database refused one request (a duplicate name, a value it cannot store) while the
// connection stays usable. Internal: operations that return an OperationResult turn it into
// ok == false; write_tsdata lets it escape as the DatabaseError it is.

#include "tidewell/connection.h"

namespace tidewell {

class RequestRejected : public DatabaseError {
 public:
  using DatabaseError::DatabaseError;
};

}  // namespace tidewell
