#include "Kestrane/databaselink.h"

#include <QComboBox>
#include <QLabel>
#include <QLocale>
#include <QSignalBlocker>
#include <QWidget>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>

#include "journel/log.h"
#include "tidewell/tidewell.h"

namespace {

const QString kDefaultDb = QStringLiteral("tsdb_default");

spdlog::logger& logger() {
  static const std::shared_ptr<spdlog::logger> log = journel::get_logger("Kestrane");
  return *log;
}

}  // namespace

DatabaseLink::DatabaseLink(tidewell::TsdbSettings tsdb_cfg, MessageBoxFn message_box,
                           bool start_without_tsdb)
    : tsdb_cfg_(std::move(tsdb_cfg)),
      message_box_(std::move(message_box)),
      start_without_tsdb_(start_without_tsdb) {
  try {
    for (const std::string& name : tidewell::fetch_available_tsdbs(tsdb_cfg_)) {
      available_dbs_ << QString::fromStdString(name);
    }
  } catch (const tidewell::DatabaseError&) {
    if (!start_without_tsdb_) throw;
    // The window opens all the same; the configured database is the one collected into. The
    // client has logged why at ERROR.
    logger().warn(
        "The TSDB at {}:{} cannot be reached; the window opens anyway (start_without_tsdb = "
        "true): a start collects into the spool and registers the source and tags once the "
        "database answers",
        tsdb_cfg_.host, tsdb_cfg_.port);
    unreachable_at_start_ = true;
    available_dbs_ << (tsdb_cfg_.dbname.empty() ? kDefaultDb
                                                : QString::fromStdString(tsdb_cfg_.dbname));
  }
  if (available_dbs_.isEmpty()) throw std::runtime_error("No available TSDB databases found.");
}

DatabaseLink::~DatabaseLink() = default;

void DatabaseLink::attach(const Widgets& widgets, std::function<qsizetype()> row_count) {
  widgets_ = widgets;
  row_count_ = std::move(row_count);
}

void DatabaseLink::choose_database_at_start() {
  QComboBox* combo = widgets_.tsdb_combo;
  const QString wanted = QString::fromStdString(tsdb_cfg_.dbname);
  int idx = combo->findText(wanted, Qt::MatchExactly | Qt::MatchCaseSensitive);
  if (idx == -1) idx = combo->findText(kDefaultDb, Qt::MatchExactly | Qt::MatchCaseSensitive);
  if (idx == -1 && combo->count() > 0) idx = 0;
  if (idx == -1) {
    throw std::runtime_error(
        "No valid TSDB database found in configuration or available databases.");
  }
  {
    const QSignalBlocker blocker(combo);
    combo->setCurrentIndex(idx);
  }
  tsdb_cfg_.dbname = combo->itemText(idx).toStdString();
  if (unreachable_at_start_) {
    show_unreachable();
    return;
  }
  reconnect_tsdb(QString::fromStdString(tsdb_cfg_.dbname));
  if (!tsdb_conn_) {
    const std::string text = "Failed to connect to TSDB database: " + tsdb_cfg_.dbname;
    logger().error(text);
    throw std::runtime_error(text);
  }
}

bool DatabaseLink::is_deferred() {
  if (!start_without_tsdb_) return false;
  if (tsdb_conn_ && tidewell::ping(*tsdb_conn_)) return false;
  try {
    tsdb_conn_.reset();
    tsdb_conn_ = tidewell::get_conn(tsdb_cfg_);
  } catch (const std::exception& e) {
    logger().warn(std::string("TSDB connection error: ") + e.what());
  }
  if (!tsdb_conn_) {
    show_unreachable();
    return true;
  }
  show_connected();
  return false;
}

bool DatabaseLink::reconnect_tsdb(const QString& db_name) {
  try {
    if (tsdb_conn_) tsdb_conn_->close();
    tsdb_cfg_.dbname = db_name.toStdString();
    // The previous connection is closed either way; a failed attempt leaves none.
    tsdb_conn_.reset();
    tsdb_conn_ = tidewell::get_conn(tsdb_cfg_);
    if (!tsdb_conn_) throw std::runtime_error("Failed to create TSDB connection object.");
    show_connected();
    return true;
  } catch (const std::exception& e) {
    logger().error(std::string("TSDB connection error: ") + e.what());
    show_message_box(message_box_, {.icon = QMessageBox::Critical,
                                    .parent = widgets_.window,
                                    .title = QStringLiteral("TSDB Connection Failed"),
                                    .text = QStringLiteral("Failed to connect to ") +
                                            QString::fromStdString(tsdb_cfg_.dbname) +
                                            QStringLiteral(":\n") + QString::fromUtf8(e.what())});
    set_status(QStringLiteral("DB Status: Connection failed"), QStringLiteral("color: red"));
    return false;
  }
}

void DatabaseLink::update_db_status(bool success, int count) {
  if (!success) {
    set_status(QStringLiteral("DB Status: Write failed"), QStringLiteral("color: red"));
    return;
  }
  set_status(QStringLiteral("DB Status: Writing successfully"), QStringLiteral("color: green"));
  widgets_.write_count_label->setText(
      QStringLiteral("Current: %1 | Total: %2 records").arg(count).arg(row_count_()));
}

void DatabaseLink::update_spool_status(qulonglong rows, bool replaying) {
  if (rows == 0) return;
  const QString count = QLocale(QLocale::English).toString(rows);
  set_status(replaying ? QStringLiteral("DB Status: Replaying buffered rows (%1 left)").arg(count)
                       : QStringLiteral("DB Status: Buffering to disk (%1 rows)").arg(count),
             QStringLiteral("color: orange"));
}

void DatabaseLink::reset_write_count_display() {
  widgets_.write_count_label->setText(
      QStringLiteral("Current: 0 | Total: %1 records").arg(row_count_()));
}

void DatabaseLink::show_connected_if_open() {
  if (tsdb_conn_)
    set_status(QStringLiteral("DB Status: Connected"), QStringLiteral("color: green"));
}

void DatabaseLink::close_at_exit() {
  if (!tsdb_conn_) return;
  try {
    tsdb_conn_->close();
  } catch (const std::exception& e) {
    std::printf("An error occurred while closing TSDB connection: %s\n", e.what());
    std::fflush(stdout);
  }
}

void DatabaseLink::show_connected() {
  widgets_.window->setWindowTitle(
      QStringLiteral("OPC Data Widget [TSDB connected: %1/%2]")
          .arg(QString::fromStdString(tsdb_cfg_.host), QString::fromStdString(tsdb_cfg_.dbname)));
  logger().info("Connected to TSDB database: " + tsdb_cfg_.dbname);
  set_status(QStringLiteral("DB Status: Connected"), QStringLiteral("color: green"));
}

void DatabaseLink::show_unreachable() {
  set_status(QStringLiteral("DB Status: Not reachable (rows will buffer to disk until it answers)"),
             QStringLiteral("color: orange"));
}

void DatabaseLink::set_status(const QString& text, const QString& style) {
  widgets_.db_status_label->setText(text);
  widgets_.db_status_label->setStyleSheet(style);
}
