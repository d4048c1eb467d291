#pragma once
// Owning handles for libpq objects. Internal to tidewell: never included by a public header.

#include <memory>

#include <libpq-fe.h>

namespace tidewell {

struct PgConnDeleter {
  void operator()(PGconn* conn) const noexcept { PQfinish(conn); }
};
struct PgResultDeleter {
  void operator()(PGresult* result) const noexcept { PQclear(result); }
};
struct PgCancelDeleter {
  void operator()(PGcancel* cancel) const noexcept { PQfreeCancel(cancel); }
};

using PgConnPtr = std::unique_ptr<PGconn, PgConnDeleter>;
using PgResultPtr = std::unique_ptr<PGresult, PgResultDeleter>;
using PgCancelPtr = std::unique_ptr<PGcancel, PgCancelDeleter>;

}  // namespace tidewell
