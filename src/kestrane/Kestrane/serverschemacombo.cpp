#include "serverschemacombo.h"

#include <QHeaderView>
#include <QStandardItemModel>
#include <QStyle>
#include <QTableView>
#include <utility>

ServerSchemaCombo::ServerSchemaCombo(QWidget* parent) : QComboBox(parent) {
  auto* model = new QStandardItemModel(0, 2, this);
  model->setHorizontalHeaderLabels({QStringLiteral("Server"), QStringLiteral("Security")});
  setModel(model);
  setModelColumn(kSchemaColumn);
  auto* table = new QTableView(this);
  table->setObjectName(QStringLiteral("server_list"));
  table->verticalHeader()->hide();
  table->horizontalHeader()->setStretchLastSection(true);
  table->setSelectionBehavior(QAbstractItemView::SelectRows);
  table->setSelectionMode(QAbstractItemView::SingleSelection);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->setShowGrid(false);
  table->setWordWrap(false);
  setView(table);
  fit_columns();
}

void ServerSchemaCombo::set_popup_override(std::function<void()> popup_override) {
  popup_override_ = std::move(popup_override);
}

void ServerSchemaCombo::showPopup() {
  if (popup_override_) {
    popup_override_();
  } else {
    show_plain_popup();
  }
}

void ServerSchemaCombo::show_plain_popup() {
  emit popup_opening();
  QComboBox::showPopup();
}

void ServerSchemaCombo::add_server(const QString& schema, const QString& security,
                                   const QString& endpoints) {
  addItem(schema);
  const int row = count() - 1;
  const QModelIndex cell = model()->index(row, kSecurityColumn);
  model()->setData(cell, security, Qt::DisplayRole);
  if (!endpoints.isEmpty()) model()->setData(cell, endpoints, Qt::ToolTipRole);
}

QString ServerSchemaCombo::security_text(int row) const {
  return model()->index(row, kSecurityColumn).data(Qt::DisplayRole).toString();
}

void ServerSchemaCombo::fit_columns() {
  auto* table = qobject_cast<QTableView*>(view());
  if (table == nullptr) return;
  bool any_security = false;
  for (int row = 0; row < count() && !any_security; ++row) {
    any_security = !security_text(row).isEmpty();
  }
  // An OPC DA list has nothing to say about security: it stays a plain list of addresses.
  table->setColumnHidden(kSecurityColumn, !any_security);
  table->horizontalHeader()->setVisible(any_security);
  table->resizeColumnsToContents();
  const int scroll_bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
  table->setMinimumWidth(table->horizontalHeader()->length() + 2 * table->frameWidth() +
                         scroll_bar);
}
