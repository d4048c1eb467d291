#pragma once
// DBStatusBridge (数据库状态信号桥): carries the outcome of one database write into the GUI thread.
// Owned by MainWidget; the collector thread emits db_write_status, Qt queues it to the GUI thread.

#include <QObject>

class DBStatusBridge : public QObject {
  Q_OBJECT

 signals:
  void db_write_status(bool success, int count);
  // Rows waiting on disk for the database, and whether they are being written now.
  void spool_status(qulonglong rows, bool replaying);
};
