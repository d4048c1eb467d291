#pragma once
// WindowControls: the main window's widgets, laid out in their fixed order with the values read
// at start. Owned by MainWidget, which wires them (the widgets themselves belong to the window
// through Qt's parent chain); GUI thread only.

#include <QString>
#include <QStringList>
#include <optional>

class EventsView;
class PaginatedTableWidget;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QTabWidget;
class QWidget;
class ServerSchemaCombo;

class WindowControls {
 public:
  struct Initial {
    QStringList databases;
    QString opc_type;
    QString opc_host;
    std::optional<int> opc_port;  // set under "OPC UA" only
    QString opc_schema;
  };

  WindowControls(QWidget* window, const Initial& initial);

  // "Browse Server…" needs an OPC UA server address and is held like the import button.
  void update_browse_button();
  // "Security…" is for OPC UA and is held like the import button.
  void update_security_button();

  QComboBox* tsdb_combo = nullptr;
  QComboBox* opc_type_combo = nullptr;
  QLineEdit* host_input = nullptr;
  QLineEdit* port_input = nullptr;
  ServerSchemaCombo* server_combo = nullptr;
  QPushButton* security_button = nullptr;
  // Read or subscribe, for both OPC types (a DA start refuses subscribe); held like the import
  // button.
  QPushButton* acquisition_button = nullptr;
  QLabel* status_label = nullptr;
  QPushButton* import_button = nullptr;
  QPushButton* browse_button = nullptr;
  QPushButton* collect_button = nullptr;
  // "Values" (the tag table) and "Events" (the events view) share the window's body.
  QTabWidget* tabs = nullptr;
  PaginatedTableWidget* paginated_table = nullptr;
  EventsView* events_view = nullptr;
  QStatusBar* status_bar = nullptr;
  QLabel* db_status_label = nullptr;
  // In the status bar: how far a running history backfill has come; hidden while none runs.
  QProgressBar* backfill_bar = nullptr;
  QLabel* write_count_label = nullptr;
};
