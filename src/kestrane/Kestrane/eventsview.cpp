#include "Kestrane/eventsview.h"

#include <QHeaderView>
#include <QLabel>
#include <QScrollBar>
#include <QStackedLayout>
#include <QTableView>
#include <QTimer>
#include <utility>
#include <vector>

#include "Kestrane/eventsinbox.h"
#include "Kestrane/eventsmodel.h"

namespace {

// Widths in digits of the table's font; the message takes the spare width. Fixed, not fitted
// to the contents: fitting would measure thousands of rows on every batch.
constexpr int kTimeDigits = 26;
constexpr int kSeverityDigits = 8;
constexpr int kSourceDigits = 22;
constexpr int kStateDigits = 30;

}  // namespace

EventsView::EventsView(QWidget* parent)
    : QWidget(parent), inbox_(std::make_shared<EventsInbox>(EventsModel::kCapacity)) {
  model_ = new EventsModel(this);
  table_ = new QTableView(this);
  table_->setObjectName(QStringLiteral("events_table"));
  table_->setModel(model_);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->setWordWrap(false);
  table_->setTextElideMode(Qt::ElideRight);
  table_->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
  table_->verticalHeader()->setVisible(false);
  table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  QHeaderView* header = table_->horizontalHeader();
  header->setSectionResizeMode(QHeaderView::Interactive);
  header->setStretchLastSection(false);
  const int digit = table_->fontMetrics().horizontalAdvance(QLatin1Char('0'));
  header->resizeSection(EventsModel::kTime, digit * kTimeDigits);
  header->resizeSection(EventsModel::kSeverity, digit * kSeverityDigits);
  header->resizeSection(EventsModel::kSource, digit * kSourceDigits);
  header->resizeSection(EventsModel::kState, digit * kStateDigits);
  header->setSectionResizeMode(EventsModel::kMessage, QHeaderView::Stretch);

  placeholder_ = new QLabel(QStringLiteral("No event notifiers configured (Acquisition…)."), this);
  placeholder_->setObjectName(QStringLiteral("events_placeholder"));
  placeholder_->setAlignment(Qt::AlignCenter);
  placeholder_->setWordWrap(true);
  placeholder_->setStyleSheet(QStringLiteral("color: gray"));

  stack_ = new QStackedLayout(this);
  stack_->addWidget(placeholder_);
  stack_->addWidget(table_);
  stack_->setCurrentWidget(placeholder_);

  drain_timer_ = new QTimer(this);
  connect(drain_timer_, &QTimer::timeout, this, [this] { drain(); });
  drain_timer_->start(kDrainIntervalMsec);
}

EventsView::~EventsView() = default;

void EventsView::set_configured(bool configured) {
  configured_ = configured;
  stack_->setCurrentWidget(configured ? static_cast<QWidget*>(table_) : placeholder_);
}

quellin::EventsNotify EventsView::notify_func() const {
  // The collector may outlive the window by a stop's few seconds: the inbox goes with the last
  // of the two.
  return [inbox = inbox_](const std::vector<pyqar::EventRecord>& events) { inbox->push(events); };
}

int EventsView::drain() {
  std::vector<pyqar::EventRecord> events = inbox_->take_all();
  if (events.empty()) return 0;
  // Someone reading further down keeps the same rows in sight while new ones arrive on top.
  QScrollBar* scroll = table_->verticalScrollBar();
  const int position = scroll->value();
  const int added = model_->add_events(std::move(events));
  if (position > 0) scroll->setValue(position + added);
  return added;
}
