#include "config/tag_monitoring.h"

#include <stdexcept>
#include <string>

#include <fmt/format.h>

namespace kestrane_config {

namespace {

std::runtime_error deadband_error(const TagEntry& tag, const char* why) {
  return std::runtime_error(
      fmt::format("tag '{}': {} {} {}", tag.name, kDeadbandColumn, *tag.deadband, why));
}

// No filter at all rather than a zero-width one, which servers without filters refuse.
pyqar::MonitorSettings without_empty_filter(pyqar::MonitorSettings settings) {
  if (settings.deadband == 0.0) settings.deadband_type = pyqar::DeadbandType::none;
  return settings;
}

}  // namespace

quellin::AcquisitionOptions acquisition_for_tags(const quellin::AcquisitionOptions& configured,
                                                 const std::vector<TagEntry>& tags) {
  quellin::AcquisitionOptions acquisition = configured;
  acquisition.tag_monitor.clear();
  acquisition.monitor = without_empty_filter(configured.monitor);
  if (acquisition.mode != pyqar::Acquisition::subscribe) return acquisition;
  for (const TagEntry& tag : tags) {
    if (!tag.monitor_problem.empty()) throw std::runtime_error(tag.monitor_problem);
    if (!tag.sampling_interval && !tag.deadband) continue;
    pyqar::MonitorSettings settings = configured.monitor;
    if (tag.sampling_interval) settings.sampling_interval_ms = *tag.sampling_interval * 1000.0;
    if (tag.deadband) {
      if (*tag.deadband > 0.0 && settings.deadband_type == pyqar::DeadbandType::none) {
        throw deadband_error(
            tag, "needs a deadband type, absolute or percent, and opc_deadband_type is none");
      } else if (settings.deadband_type == pyqar::DeadbandType::percent && *tag.deadband > 100.0) {
        throw deadband_error(tag, "is above 100, and opc_deadband_type is percent");
      }
      settings.deadband = *tag.deadband;
    }
    acquisition.tag_monitor.insert_or_assign(tag.name, without_empty_filter(settings));
  }
  return acquisition;
}

}  // namespace kestrane_config
