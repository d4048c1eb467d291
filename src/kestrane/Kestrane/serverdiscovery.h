#pragma once
// ServerDiscovery: the OPC type's port, the discovery run each time the server list opens and
// the chosen server's address. A discovery, and the question for each OPC UA server's
// endpoints, runs on a BackgroundJob under the wait cursor, so the window repaints meanwhile;
// the list is filled (and opened, when that was asked, also empty after a failure) once it
// ends. Owned by MainWidget; GUI thread only.

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "Kestrane/messagebox.h"
#include "Kestrane/opcserverdiscovery.h"
#include "Kestrane/waitcursor.h"

class BackgroundJob;
class QComboBox;
class QLabel;
class QLineEdit;
class QModelIndex;
class QWidget;
class ServerSchemaCombo;

class ServerDiscovery : public QObject {
  Q_OBJECT

 public:
  struct Widgets {
    QWidget* window = nullptr;
    QComboBox* opc_type_combo = nullptr;
    QLineEdit* host_input = nullptr;
    QLineEdit* port_input = nullptr;
    ServerSchemaCombo* server_combo = nullptr;
    QLabel* status_label = nullptr;
  };
  // Lists the servers on a host; empty means the OPC library's own discovery. Called on the
  // discovery's thread.
  using EnumerateFn =
      std::function<QStringList(const QString& hostname, int max_servers, int port)>;

  ServerDiscovery(const Widgets& widgets, EnumerateFn enumerate, EndpointsFn endpoints,
                  MessageBoxFn message_box, QObject* parent = nullptr);
  // Waits for a running discovery's thread: at most one server answer.
  ~ServerDiscovery() override;

  // OPC类型变化时，更新端口号设置: the operator changed the type; "OPC DA" shows port 0
  // (disabled), "OPC UA" the default 4840 (enabled).
  void opc_type_changed(const QString& opc_type);
  // 用户点击下拉箭头时自动列出服务器: discovers, then opens the list.
  void override_showPopup();
  // Starts a discovery with the host, port and type shown now; finished() follows. The list is
  // then filled with the servers found; the edit text stays as typed unless it was empty,
  // when the first server found fills it. While one runs, another is not started.
  void enumerate_servers();
  bool is_running() const;
  // The window closes: the running discovery's result is dropped, the wait cursor goes and
  // finished() never follows.
  void cancel();
  // 下拉列表选中项确认
  void server_selected(const QModelIndex& index);
  // The trimmed server address, or nullopt after the "Please select..." warning.
  std::optional<QString> selected_schema_or_warn();

 signals:
  // A discovery has ended and its outcome is shown.
  void finished();

 private:
  void start(bool open_list);
  void on_finished();

  Widgets widgets_;
  EnumerateFn enumerate_;
  EndpointsFn endpoints_;
  MessageBoxFn message_box_;
  std::unique_ptr<BackgroundJob> job_;
  QString opc_type_;        // of the running discovery
  bool open_list_ = false;  // open the list once the running discovery ends
  // Filled by the job's thread, read after its finished().
  std::shared_ptr<std::vector<DiscoveredServer>> found_;
  // Shown from the start of a discovery until its outcome is shown.
  std::optional<WaitCursor> wait_cursor_;
};
