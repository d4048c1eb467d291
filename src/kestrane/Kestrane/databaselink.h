#pragma once
// DatabaseLink: the window's own TSDB connection: the choice of the database at start and by
// the operator, the connection's life, and what reports on the database side (the window
// title, "DB Status: ..." and the write counter). Owned by MainWidget; GUI thread only.

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include "Kestrane/messagebox.h"
#include "tidewell/connection.h"
#include "tidewell/types.h"

class QComboBox;
class QLabel;
class QWidget;

class DatabaseLink {
 public:
  struct Widgets {
    QWidget* window = nullptr;
    QComboBox* tsdb_combo = nullptr;
    QLabel* db_status_label = nullptr;
    QLabel* write_count_label = nullptr;
  };

  // Lists the databases the settings can reach. Throws the client's error, or
  // std::runtime_error "No available TSDB databases found." when there is none. With
  // `start_without_tsdb`, a server that cannot be reached is logged instead and the configured
  // database is the only one listed (see is_deferred()).
  DatabaseLink(tidewell::TsdbSettings tsdb_cfg, MessageBoxFn message_box,
               bool start_without_tsdb = false);
  ~DatabaseLink();
  DatabaseLink(const DatabaseLink&) = delete;
  DatabaseLink& operator=(const DatabaseLink&) = delete;

  // The widgets it reports in, and how many rows the tag table holds.
  void attach(const Widgets& widgets, std::function<qsizetype()> row_count);
  // The configured database if listed, else "tsdb_default", else the first one listed;
  // connects to it. Throws when there is none or the connection fails, but with
  // start_without_tsdb an unreachable database only shows "DB Status: Not reachable …".
  void choose_database_at_start();
  // With start_without_tsdb: true when no connection is held and a new one fails too (tried
  // quietly, without a message box), so that a start must register later. Without the key,
  // or with a connection held, false.
  bool is_deferred();
  // 尝试连接 TSDB 数据库，成功返回 True，失败返回 False
  bool reconnect_tsdb(const QString& db_name);
  // 更新数据库写入状态
  // While rows wait on disk: "DB Status: Buffering to disk (12,000 rows)" in orange, or
  // "DB Status: Replaying buffered rows (12,000 left)" while they are written back.
  void update_spool_status(qulonglong rows, bool replaying);
  void update_db_status(bool success, int count);
  void reset_write_count_display();
  // "DB Status: Connected" again when a connection is held (after a collection ends).
  void show_connected_if_open();
  // Closes the connection at exit; a failure is printed on standard output only.
  void close_at_exit();

  const tidewell::TsdbSettings& tsdb_cfg() const { return tsdb_cfg_; }
  tidewell::Connection* connection() const { return tsdb_conn_.get(); }
  const QStringList& available_dbs() const { return available_dbs_; }

 private:
  void set_status(const QString& text, const QString& style);
  // The window's title and "DB Status: Connected" for the connection just made.
  void show_connected();
  // The orange "Not reachable" status of a window that collects without the database.
  void show_unreachable();

  tidewell::TsdbSettings tsdb_cfg_;
  MessageBoxFn message_box_;
  bool start_without_tsdb_ = false;
  // The server could not be reached when the databases were listed.
  bool unreachable_at_start_ = false;
  QStringList available_dbs_;
  std::unique_ptr<tidewell::Connection> tsdb_conn_;
  Widgets widgets_;
  std::function<qsizetype()> row_count_;
};
