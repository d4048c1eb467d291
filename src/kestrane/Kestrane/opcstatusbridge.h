#pragma once
// OPCStatusBridge: carries a collector status text into the GUI thread.
// Owned by MainWidget; the collector thread emits status_changed, Qt queues it to the GUI thread.

#include <QObject>
#include <QString>

class OPCStatusBridge : public QObject {
  Q_OBJECT

 signals:
  void status_changed(const QString& status);
};
