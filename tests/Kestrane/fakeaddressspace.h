#pragma once
// FakeAddressSpace: an address space held in memory for the browse dialog's tests, with the
// calls each node received, browse failures on chosen nodes, and a gate that holds answers
// back. Shared (std::shared_ptr) by the test and the sources it makes; any thread may call it.

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Kestrane/browsesource.h"
#include "pyqar/ua_browser.h"

pyqar::BrowsedNode folder(const std::string& node_id, const std::string& name);
pyqar::BrowsedNode variable(const std::string& node_id, const std::string& name,
                            bool numeric = true, const std::string& description = {});

class FakeAddressSpace : public std::enable_shared_from_this<FakeAddressSpace> {
 public:
  // More calls than any test makes: a walk that does not cut a loop fails here instead of
  // running on.
  static constexpr int kCallLimit = 1000;

  void add(const std::string& parent_id, const pyqar::BrowsedNode& child);
  void fail(const std::string& node_id, const std::string& reason);
  // While held, children() waits (at most a few seconds) until release().
  void hold();
  void release();

  std::vector<pyqar::BrowsedNode> children(const std::string& node_id);
  // A variable's value and unit; nodes without them answer empty details.
  void set_details(const std::string& node_id, const pyqar::VariableDetails& details);
  // Waits while held, as children() does.
  std::vector<pyqar::VariableDetails> details(const std::vector<std::string>& node_ids);
  // The node lists details() was asked for, in order.
  std::vector<std::vector<std::string>> details_asked() const;
  int calls(const std::string& node_id) const;
  // Whether any call came from the given thread.
  bool called_on(std::thread::id thread) const;

  BrowseSourceFactory factory();

 private:
  mutable std::mutex mutex_;
  std::condition_variable released_;
  std::map<std::string, std::vector<pyqar::BrowsedNode>> children_;  // guarded by mutex_
  std::map<std::string, std::string> failures_;                      // guarded by mutex_
  std::map<std::string, int> calls_;                                 // guarded by mutex_
  std::map<std::string, pyqar::VariableDetails> details_;            // guarded by mutex_
  std::vector<std::vector<std::string>> details_asked_;              // guarded by mutex_
  std::vector<std::thread::id> threads_;                             // guarded by mutex_
  int total_calls_ = 0;                                              // guarded by mutex_
  bool held_ = false;                                                // guarded by mutex_
};

// A plant: Plant/{Boiler/{Temp, Pressure, Status(text), Flow}, Pumps/{Pump1/{Speed, Running,
// Flow, back to Plant}}, Empty}. Flow is one node reached from two folders; Pump1 refers back
// to Plant, a loop.
std::shared_ptr<FakeAddressSpace> make_plant();
