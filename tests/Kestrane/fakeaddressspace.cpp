#include "fakeaddressspace.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace {

// Only ends a test whose release never comes.
constexpr std::chrono::seconds kHoldDeadline{10};

class FakeSource : public BrowseSource {
 public:
  explicit FakeSource(std::shared_ptr<FakeAddressSpace> space) : space_(std::move(space)) {}
  std::vector<pyqar::BrowsedNode> children(const std::string& node_id) override {
    return space_->children(node_id);
  }
  std::vector<pyqar::VariableDetails> details(const std::vector<std::string>& node_ids) override {
    return space_->details(node_ids);
  }

 private:
  std::shared_ptr<FakeAddressSpace> space_;
};

}  // namespace

pyqar::BrowsedNode folder(const std::string& node_id, const std::string& name) {
  return {.node_id = node_id,
          .index_node_id = node_id,
          .browse_name = name,
          .display_name = name,
          .description = {},
          .is_variable = false,
          .numeric = false,
          .data_type = {}};
}

pyqar::BrowsedNode variable(const std::string& node_id, const std::string& name, bool numeric,
                            const std::string& description) {
  return {.node_id = node_id,
          .index_node_id = node_id,
          .browse_name = name,
          .display_name = name,
          .description = description,
          .is_variable = true,
          .numeric = numeric,
          .data_type = numeric ? "Double" : "String"};
}

void FakeAddressSpace::add(const std::string& parent_id, const pyqar::BrowsedNode& child) {
  const std::lock_guard lock(mutex_);
  children_[parent_id].push_back(child);
}

void FakeAddressSpace::fail(const std::string& node_id, const std::string& reason) {
  const std::lock_guard lock(mutex_);
  failures_[node_id] = reason;
}

void FakeAddressSpace::hold() {
  const std::lock_guard lock(mutex_);
  held_ = true;
}

void FakeAddressSpace::release() {
  {
    const std::lock_guard lock(mutex_);
    held_ = false;
  }
  released_.notify_all();
}

std::vector<pyqar::BrowsedNode> FakeAddressSpace::children(const std::string& node_id) {
  std::unique_lock lock(mutex_);
  released_.wait_for(lock, kHoldDeadline, [this] { return !held_; });
  ++calls_[node_id];
  threads_.push_back(std::this_thread::get_id());
  if (++total_calls_ > kCallLimit) throw std::runtime_error("runaway walk");
  if (const auto failure = failures_.find(node_id); failure != failures_.end()) {
    throw std::runtime_error(failure->second);
  }
  const auto found = children_.find(node_id);
  return found == children_.end() ? std::vector<pyqar::BrowsedNode>{} : found->second;
}

void FakeAddressSpace::set_details(const std::string& node_id,
                                   const pyqar::VariableDetails& details) {
  const std::lock_guard lock(mutex_);
  details_[node_id] = details;
}

std::vector<pyqar::VariableDetails> FakeAddressSpace::details(
    const std::vector<std::string>& node_ids) {
  std::unique_lock lock(mutex_);
  released_.wait_for(lock, kHoldDeadline, [this] { return !held_; });
  threads_.push_back(std::this_thread::get_id());
  details_asked_.push_back(node_ids);
  std::vector<pyqar::VariableDetails> answer;
  for (const std::string& id : node_ids) {
    if (const auto failure = failures_.find(id); failure != failures_.end()) {
      throw std::runtime_error(failure->second);
    }
    const auto found = details_.find(id);
    answer.push_back(found == details_.end() ? pyqar::VariableDetails{} : found->second);
  }
  return answer;
}

std::vector<std::vector<std::string>> FakeAddressSpace::details_asked() const {
  const std::lock_guard lock(mutex_);
  return details_asked_;
}

int FakeAddressSpace::calls(const std::string& node_id) const {
  const std::lock_guard lock(mutex_);
  const auto found = calls_.find(node_id);
  return found == calls_.end() ? 0 : found->second;
}

bool FakeAddressSpace::called_on(std::thread::id thread) const {
  const std::lock_guard lock(mutex_);
  return std::find(threads_.begin(), threads_.end(), thread) != threads_.end();
}

BrowseSourceFactory FakeAddressSpace::factory() {
  return [space = shared_from_this()](const std::string&) -> std::unique_ptr<BrowseSource> {
    return std::make_unique<FakeSource>(space);
  };
}

std::shared_ptr<FakeAddressSpace> make_plant() {
  auto space = std::make_shared<FakeAddressSpace>();
  const std::string ns = "nsu=urn:test:plant;s=";
  space->add(kObjectsFolderId, folder(ns + "Plant", "Plant"));
  space->add(kObjectsFolderId, folder("i=2253", "Server"));
  space->add(ns + "Plant", folder(ns + "Boiler", "Boiler"));
  space->add(ns + "Plant", folder(ns + "Pumps", "Pumps"));
  space->add(ns + "Plant", folder(ns + "Empty", "Empty"));
  space->add(ns + "Boiler", variable(ns + "Boiler.Temp", "Temp", true, "Boiler temperature"));
  space->add(ns + "Boiler", variable(ns + "Boiler.Pressure", "Pressure"));
  space->add(ns + "Boiler", variable(ns + "Boiler.Status", "Status", false));
  space->add(ns + "Boiler", variable(ns + "Flow", "Flow"));
  space->add(ns + "Pumps", folder(ns + "Pump1", "Pump1"));
  space->add(ns + "Pump1", variable(ns + "Pump1.Speed", "Speed"));
  space->add(ns + "Pump1", variable(ns + "Pump1.Running", "Running"));
  space->add(ns + "Pump1", variable(ns + "Flow", "Flow"));
  space->add(ns + "Pump1", folder(ns + "Plant", "Plant"));
  return space;
}
