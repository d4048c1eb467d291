#pragma once
// The per-tag subscription settings of a tag list (its SamplingInterval and Deadband columns)
// joined with the configured ones into what the collector is given. Shared by the console
// program and the desktop. Pure functions; safe from any thread.

#include <vector>

#include "config/tag_csv.h"
#include "quellin/acquisition_options.h"

namespace kestrane_config {

// The configured acquisition (as read_acquisition_settings gives it) with tag_monitor holding
// one entry per tag that has a SamplingInterval or a Deadband of its own: the configured
// settings with that value in place. A deadband of 0, configured or the tag's own, means no
// filter at all; the configured type still applies to the tags' own deadbands. A name listed
// twice takes its later row. Under read acquisition the columns do not apply: tag_monitor stays
// empty. Throws std::runtime_error naming the tag for a Deadband above 100 under
// opc_deadband_type = percent and for a Deadband above 0 while opc_deadband_type is none.
quellin::AcquisitionOptions acquisition_for_tags(const quellin::AcquisitionOptions& configured,
                                                 const std::vector<TagEntry>& tags);

}  // namespace kestrane_config
