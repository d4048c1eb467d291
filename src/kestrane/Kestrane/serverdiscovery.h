#pragma once
// ServerDiscovery: the OPC type's port, the discovery run each time the server list opens and
// the chosen server's address. Owned by MainWidget; GUI thread only (a discovery blocks it
// until the OPC library answers).

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

#include "Kestrane/messagebox.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QModelIndex;
class QWidget;
class ServerSchemaCombo;

class ServerDiscovery {
 public:
  struct Widgets {
    QWidget* window = nullptr;
    QComboBox* opc_type_combo = nullptr;
    QLineEdit* host_input = nullptr;
    QLineEdit* port_input = nullptr;
    ServerSchemaCombo* server_combo = nullptr;
    QLabel* status_label = nullptr;
  };
  // Lists the servers on a host; empty means the OPC library's own discovery.
  using EnumerateFn =
      std::function<QStringList(const QString& hostname, int max_servers, int port)>;

  ServerDiscovery(const Widgets& widgets, EnumerateFn enumerate, MessageBoxFn message_box);

  // OPC类型变化时，更新端口号设置: the operator changed the type; "OPC DA" shows port 0
  // (disabled), "OPC UA" the default 4840 (enabled).
  void opc_type_changed(const QString& opc_type);
  // 用户点击下拉箭头时自动列出服务器
  void override_showPopup();
  // Fills the server list with the servers found; the edit text stays as typed unless it
  // was empty, when the first server found fills it.
  void enumerate_servers();
  // 下拉列表选中项确认
  void server_selected(const QModelIndex& index);
  // The trimmed server address, or nullopt after the "Please select..." warning.
  std::optional<QString> selected_schema_or_warn();

 private:
  Widgets widgets_;
  EnumerateFn enumerate_;
  MessageBoxFn message_box_;
};
