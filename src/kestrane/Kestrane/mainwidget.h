#pragma once
// MainWidget: the desktop program's only window. It reads config.ini, keeps its own TSDB
// connection, discovers OPC servers, imports the tag list, starts and stops one OPCCollector and
// shows the collected values in a paged table with status lines.
// Created by main (no parent); GUI thread only, except _current_tags(), which the collector
// thread calls under the row lock.

#include <QString>
#include <QStringList>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Kestrane/messagebox.h"
#include "Kestrane/resultmerger.h"
#include "Kestrane/tablemodel.h"
#include "quellin/opc_collector.h"
#include "quellin/result_queue.h"
#include "tidewell/connection.h"
#include "tidewell/types.h"

class DBStatusBridge;
class OPCStatusBridge;
class PaginatedTableWidget;
class QAction;
class QCloseEvent;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QModelIndex;
class QPoint;
class QPushButton;
class QStatusBar;
class QTimer;
class ServerSchemaCombo;

class MainWidget : public QWidget {
  Q_OBJECT

 public:
  // What the window does that a test must not wait on (modal loops, the file dialog) or may
  // want to replace (discovery). Empty members mean the real thing.
  struct Hooks {
    MessageBoxFn message_box;
    // Returns the chosen CSV file, or an empty text when the user cancels.
    std::function<QString(QWidget* parent)> choose_csv_file;
    std::function<QAction*(QMenu& menu, const QPoint& global_pos)> run_menu;
    std::function<QStringList(const QString& hostname, int max_servers, int port)> enumerate;
  };

  // Throws std::runtime_error (or the configuration parser's / TSDB client's error) when the
  // window cannot be built: no config.ini, a malformed value, no database, no connection.
  explicit MainWidget(Hooks hooks = {});
  ~MainWidget() override;

  // Window state.
  void _set_controls_enabled(bool enabled);
  void show_context_menu(const QPoint& pos);
  void update_status_label(const QString& status);

  // OPC server discovery.
  void opc_type_changed(const QString& opc_type);
  void override_showPopup();
  void enumerate_servers();
  void server_selected(const QModelIndex& index);
  std::optional<QString> _get_selected_schema_or_warn();

  // TSDB connection and status.
  // 尝试连接 TSDB 数据库，成功返回 True，失败返回 False
  bool reconnect_tsdb(const QString& db_name);
  // 更新数据库写入状态
  void update_db_status(bool success, int count);
  void _reset_write_count_display();

  // Collection control and the queue of results.
  void start_collecting(bool checked = false);
  std::vector<std::string> _current_tags();
  void _create_and_start_collector(const QString& opc_schema, quellin::TagsFunc get_tags_func);
  void _stop_collecting();
  void process_queue();
  // results: [(tag, val, qual, ts), ...]
  void _merge_results(const quellin::ResultList& results, TableRows& all_data);

  // Tag import and registration.
  void import_tags_from_csv();
  std::optional<std::int64_t> _ensure_source(const QString& server_schema);
  void _sync_tags_with_source(std::int64_t source_id);
  void _save_collection_config(const QString& host, const QString& opc_schema);

  // Read access for the program and its tests.
  const QString& ini_path() const { return ini_path_; }
  const tidewell::TsdbSettings& tsdb_cfg() const { return tsdb_cfg_; }
  tidewell::Connection* tsdb_conn() const { return tsdb_conn_.get(); }
  const std::optional<QString>& tag_csv_path() const { return tag_csv_path_; }
  quellin::OPCCollector* collect_thread() const { return collect_thread_.get(); }
  const QStringList& available_dbs() const { return available_dbs_; }
  quellin::ResultQueue& data_deque() { return data_deque_; }
  std::mutex& deque_lock() { return deque_lock_; }
  std::recursive_mutex& data_lock() { return data_lock_; }
  OPCStatusBridge* status_bridge() const { return status_bridge_.get(); }
  DBStatusBridge* db_status_bridge() const { return db_status_bridge_.get(); }
  PaginatedTableWidget* paginated_table() const { return paginated_table_; }
  QTimer* queue_timer() const { return queue_timer_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  QMessageBox::StandardButton message(
      QMessageBox::Icon icon, const QString& title, const QString& text,
      QMessageBox::StandardButtons buttons = QMessageBox::Ok,
      QMessageBox::StandardButton default_button = QMessageBox::NoButton);
  void choose_database_at_start();
  // Runs a handler for a signal; what it throws goes to the exception hook.
  void guard(const std::function<void()>& handler);
  bool collector_alive() const;

  Hooks hooks_;
  QString ini_path_;
  tidewell::TsdbSettings tsdb_cfg_;
  std::unique_ptr<tidewell::Connection> tsdb_conn_;
  std::optional<QString> tag_csv_path_;
  QStringList available_dbs_;

  quellin::ResultQueue data_deque_{300};
  std::mutex deque_lock_;           // guards data_deque_ only
  std::recursive_mutex data_lock_;  // guards the table rows (paginated_table_->all_data()) only
  ResultMerger merger_;             // used under data_lock_

  std::unique_ptr<OPCStatusBridge> status_bridge_;
  std::unique_ptr<DBStatusBridge> db_status_bridge_;
  // Declared after everything it borrows (queue, locks, bridges), so it goes first.
  std::unique_ptr<quellin::OPCCollector> collect_thread_;

  // Child widgets, owned through Qt's parent chain.
  QComboBox* tsdb_combo_ = nullptr;
  QComboBox* opc_type_combo_ = nullptr;
  QLineEdit* host_input_ = nullptr;
  QLineEdit* port_input_ = nullptr;
  ServerSchemaCombo* server_combo_ = nullptr;
  QLabel* status_label_ = nullptr;
  QPushButton* import_button_ = nullptr;
  QPushButton* collect_button_ = nullptr;
  PaginatedTableWidget* paginated_table_ = nullptr;
  QStatusBar* status_bar_ = nullptr;
  QLabel* db_status_label_ = nullptr;
  QLabel* write_count_label_ = nullptr;
  QTimer* queue_timer_ = nullptr;
};
