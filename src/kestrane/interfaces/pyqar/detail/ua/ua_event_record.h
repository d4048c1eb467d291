#pragma once
// How one event's fields, in select-clause order, become the library's EventRecord: the
// standard fields into their members (NodeIds as `nsu=` text through the server's namespace
// table), and every selected field that is not null into fields_json by its name, with the
// text forms values use. Pure functions; any thread.

#include "pyqar/event_types.h"
#include "ua_event_filter.h"
#include "ua_event_messages.h"
#include "value_text.h"

namespace pyqar::ua {

// Fields missing at the end of `event` count as null; fields beyond `selection` are ignored.
// Condition members are set only for an event with a ConditionId. `time` is the event's Time,
// else its ReceiveTime, else left at the clock's epoch for the caller to fill.
EventRecord to_event_record(const EventFieldList& event, const EventSelection& selection,
                            Namespaces namespaces = {});

enum class RefreshMark : std::uint8_t { None, Start, End };
// Whether `record` opens or closes the states a ConditionRefresh sends.
RefreshMark refresh_mark(const EventRecord& record);

}  // namespace pyqar::ua
