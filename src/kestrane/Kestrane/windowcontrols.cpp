#include "Kestrane/windowcontrols.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpacerItem>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>

#include "Kestrane/eventsview.h"
#include "Kestrane/paginatedtablewidget.h"
#include "Kestrane/resultmerger.h"
#include "Kestrane/serverschemacombo.h"

namespace {

const QStringList kTableHeaders = {QStringLiteral("DBID"), QStringLiteral("Tag Name"),
                                   QStringLiteral("Description"), QStringLiteral("Value"),
                                   QStringLiteral("Quality")};
constexpr int kDescriptionColumn = 2;
// Width of the value column, in digits of the table's font: a long number fits, a longer text
// is elided by the view and shown in the cell's tooltip.
constexpr int kValueColumnDigits = 24;

QLabel* fixed_label(const QString& text, int width, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setFixedWidth(width);
  return label;
}

// Tests and style sheets find the window's widgets by these names.
template <class Widget>
Widget* named(Widget* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

}  // namespace

WindowControls::WindowControls(QWidget* window, const Initial& initial) {
  auto* main_layout = new QVBoxLayout(window);

  auto* tsdb_opc_layout = new QHBoxLayout();
  tsdb_opc_layout->addWidget(fixed_label(QStringLiteral("TSDB name:"), 160, window));
  tsdb_combo = named(new QComboBox(window), "tsdb_combo");
  tsdb_combo->setEditable(false);
  tsdb_combo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  tsdb_combo->addItems(initial.databases);
  tsdb_opc_layout->addWidget(tsdb_combo);
  tsdb_opc_layout->addItem(new QSpacerItem(20, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
  tsdb_opc_layout->addWidget(fixed_label(QStringLiteral("OPC Type:"), 80, window));
  opc_type_combo = named(new QComboBox(window), "opc_type_combo");
  opc_type_combo->addItems({QStringLiteral("OPC DA"), QStringLiteral("OPC UA")});
  opc_type_combo->setCurrentText(initial.opc_type);
  opc_type_combo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  tsdb_opc_layout->addWidget(opc_type_combo);
  main_layout->addLayout(tsdb_opc_layout);

  auto* host_layout = new QHBoxLayout();
  host_layout->addWidget(fixed_label(QStringLiteral("OPC IP:"), 160, window));
  host_input = named(new QLineEdit(window), "host_input");
  host_input->setPlaceholderText(QStringLiteral("localhost"));
  host_input->setText(initial.opc_host);
  host_layout->addWidget(host_input);
  host_layout->addItem(new QSpacerItem(20, 20, QSizePolicy::Fixed, QSizePolicy::Minimum));
  host_layout->addWidget(fixed_label(QStringLiteral("Port:"), 50, window));
  port_input = named(new QLineEdit(window), "port_input");
  port_input->setFixedWidth(80);
  port_input->setPlaceholderText(QStringLiteral("0"));
  // The saved port shows under OPC UA; under OPC DA the port is always 0.
  port_input->setText(initial.opc_port ? QString::number(*initial.opc_port) : QStringLiteral("0"));
  port_input->setEnabled(initial.opc_port.has_value());
  host_layout->addWidget(port_input);
  main_layout->addLayout(host_layout);

  auto* server_layout = new QHBoxLayout();
  server_layout->addWidget(fixed_label(QStringLiteral("OPC Schema:"), 160, window));
  server_combo = named(new ServerSchemaCombo(window), "server_combo");
  server_combo->setEditable(true);
  server_combo->setCurrentText(initial.opc_schema);
  server_combo->setInsertPolicy(QComboBox::NoInsert);
  server_combo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  // The address takes the row's width; the button beside it only what its text needs.
  server_layout->addWidget(server_combo, 1);
  security_button = named(new QPushButton(QStringLiteral("Security…"), window), "security_button");
  server_layout->addWidget(security_button);
  acquisition_button =
      named(new QPushButton(QStringLiteral("Acquisition…"), window), "acquisition_button");
  server_layout->addWidget(acquisition_button);
  main_layout->addLayout(server_layout);

  auto* separator = new QFrame(window);
  separator->setFrameShape(QFrame::HLine);
  separator->setFrameShadow(QFrame::Sunken);
  main_layout->addWidget(separator);
  status_label = named(new QLabel(QStringLiteral("Status: Unconnected"), window), "status_label");
  status_label->setStyleSheet(QStringLiteral("color: gray"));
  main_layout->addWidget(status_label);

  auto* button_layout = new QHBoxLayout();
  import_button =
      named(new QPushButton(QStringLiteral("Import CSV Tag List"), window), "import_button");
  button_layout->addWidget(import_button);
  collect_button =
      named(new QPushButton(QStringLiteral("Start Collecting"), window), "collect_button");
  button_layout->addWidget(collect_button);
  // After the two buttons of the row's fixed order, so that they keep their places.
  browse_button = named(new QPushButton(QStringLiteral("Browse Server…"), window), "browse_button");
  button_layout->addWidget(browse_button);
  main_layout->addLayout(button_layout);

  tabs = named(new QTabWidget(window), "tabs");
  tabs->setDocumentMode(true);
  paginated_table = named(new PaginatedTableWidget(kTableHeaders, tabs), "paginated_table");
  paginated_table->table_model()->set_detail_titles(ResultMerger::detail_titles());
  QTableView* view = paginated_table->table();
  view->setSelectionBehavior(QAbstractItemView::SelectItems);
  view->setSelectionMode(QAbstractItemView::SingleSelection);
  view->setContextMenuPolicy(Qt::CustomContextMenu);
  // Descriptions take the spare width; values, which may be texts of any length, get a fixed
  // width the user may change; the other columns fit their contents.
  view->setWordWrap(false);
  view->setTextElideMode(Qt::ElideRight);
  QHeaderView* header = view->horizontalHeader();
  header->setSectionResizeMode(QHeaderView::ResizeToContents);
  header->setSectionResizeMode(kDescriptionColumn, QHeaderView::Stretch);
  header->setSectionResizeMode(ResultMerger::kValueColumn, QHeaderView::Interactive);
  header->resizeSection(
      ResultMerger::kValueColumn,
      view->fontMetrics().horizontalAdvance(QLatin1Char('0')) * kValueColumnDigits);
  tabs->addTab(paginated_table, QStringLiteral("Values"));
  events_view = named(new EventsView(tabs), "events_view");
  tabs->addTab(events_view, QStringLiteral("Events"));
  main_layout->addWidget(tabs);

  status_bar = named(new QStatusBar(window), "status_bar");
  db_status_label =
      named(new QLabel(QStringLiteral("DB Status: Not connected"), window), "db_status_label");
  db_status_label->setStyleSheet(QStringLiteral("color: gray"));
  status_bar->addWidget(db_status_label);
  backfill_bar = named(new QProgressBar(window), "backfill_bar");
  backfill_bar->setTextVisible(true);
  status_bar->addWidget(backfill_bar, 1);
  // Added to the bar, it would show; it only does while a backfill runs.
  backfill_bar->setVisible(false);
  write_count_label = named(new QLabel(QStringLiteral("Current: 0 | Total: 0 records"), window),
                            "write_count_label");
  write_count_label->setStyleSheet(QStringLiteral("color: blue"));
  status_bar->addPermanentWidget(write_count_label);
  main_layout->addWidget(status_bar);
  update_browse_button();
  update_security_button();
}

void WindowControls::update_browse_button() {
  const bool ua = opc_type_combo->currentText() == QStringLiteral("OPC UA");
  const bool ua_address = server_combo->currentText().trimmed().startsWith(
      QStringLiteral("opc.tcp://"), Qt::CaseInsensitive);
  browse_button->setEnabled(import_button->isEnabled() && ua && ua_address);
}

void WindowControls::update_security_button() {
  const bool ua = opc_type_combo->currentText() == QStringLiteral("OPC UA");
  security_button->setEnabled(import_button->isEnabled() && ua);
}
