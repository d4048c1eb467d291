#pragma once
// EventsView: the window's "Events" tab: the latest events, newest first, with active alarms
// nobody has acknowledged marked; or, while no event notifier is configured, a line saying so.
// A child of the main window; GUI thread only, except the hook from notify_func(), which the
// collector thread calls with each cycle's events (they wait in an EventsInbox until the
// view's timer takes them).

#include <QWidget>
#include <memory>

#include "quellin/collector_hooks.h"

class EventsInbox;
class EventsModel;
class QLabel;
class QStackedLayout;
class QTableView;
class QTimer;

class EventsView : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kDrainIntervalMsec = 200;

  explicit EventsView(QWidget* parent = nullptr);
  ~EventsView() override;

  // Whether the acquisition collects events: the table shows, else the line naming where to
  // configure them.
  void set_configured(bool configured);
  bool is_configured() const { return configured_; }
  // The hook for OPCCollector::Options::events_notify; it stays valid after the view is gone.
  quellin::EventsNotify notify_func() const;
  // Moves what waits in the inbox into the table (the timer does this on its own). Returns how
  // many events were added.
  int drain();

  EventsModel* model() const { return model_; }
  QTableView* table() const { return table_; }
  QTimer* drain_timer() const { return drain_timer_; }

 private:
  std::shared_ptr<EventsInbox> inbox_;
  EventsModel* model_ = nullptr;  // children of the view
  QTableView* table_ = nullptr;
  QLabel* placeholder_ = nullptr;
  QStackedLayout* stack_ = nullptr;
  QTimer* drain_timer_ = nullptr;
  bool configured_ = false;
};
