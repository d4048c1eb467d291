#pragma once
// ScriptedOpc: an OPC server for tests of the layers above the OPC library. Each read is
// answered by a script; every batch asked for is recorded. Shared by the library's sources,
// so a test may change the script between cycles. One thread at a time.

#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "pyqar/qar_library.h"
#include "pyqar/rt_source.h"

namespace quellin_test {

struct ScriptedOpc {
  using Responder =
      std::function<std::vector<pyqar::ValueObject>(const std::vector<pyqar::TagDescriptor>&)>;

  // Good doubles 1.0, 2.0, ... in batch order.
  static std::vector<pyqar::ValueObject> all_good(const std::vector<pyqar::TagDescriptor>& batch) {
    std::vector<pyqar::ValueObject> out;
    for (std::size_t i = 0; i < batch.size(); ++i) {
      out.push_back({static_cast<double>(i + 1), pyqar::QAR_QUALITY::QAR_HIGH_GOOD, {}});
    }
    return out;
  }
  static std::vector<pyqar::ValueObject> all_bad(const std::vector<pyqar::TagDescriptor>& batch) {
    return std::vector<pyqar::ValueObject>(batch.size());
  }

  Responder responder = all_good;
  bool fail_create = false;  // the factory throws: create_source gives the invalid handle
  bool source_valid = true;  // what is_source_valid answers
  int creates = 0;           // sources opened
  std::vector<pyqar::CreateSourceArgs> create_args;        // every create_source call that got here
  std::vector<std::vector<pyqar::TagDescriptor>> batches;  // every batch read, in order

  std::vector<std::size_t> batch_sizes() const {
    std::vector<std::size_t> sizes;
    for (const auto& b : batches) sizes.push_back(b.size());
    return sizes;
  }
};

class ScriptedSource : public pyqar::RtSource {
 public:
  explicit ScriptedSource(std::shared_ptr<ScriptedOpc> opc) : opc_(std::move(opc)) {}
  bool valid() const override { return opc_->source_valid; }
  std::vector<pyqar::ValueObject> read(const std::vector<pyqar::TagDescriptor>& batch) override {
    opc_->batches.push_back(batch);
    return opc_->responder(batch);
  }

 private:
  std::shared_ptr<ScriptedOpc> opc_;
};

inline pyqar::SourceFactory scripted_factory(std::shared_ptr<ScriptedOpc> opc) {
  return [opc](const pyqar::CreateSourceArgs& args) -> std::unique_ptr<pyqar::RtSource> {
    opc->create_args.push_back(args);
    if (opc->fail_create) throw std::runtime_error("scripted server is down");
    ++opc->creates;
    return std::make_unique<ScriptedSource>(opc);
  };
}

// A clock that only moves when the collector waits (or a test moves it).
struct FakeTime {
  double now = 100.0;
  std::vector<double> sleeps;
  std::function<void()> on_sleep;  // runs after each recorded wait

  double clock() const { return now; }
  void sleep(double seconds) {
    sleeps.push_back(seconds);
    now += seconds;
    if (on_sleep) on_sleep();
  }
};

}  // namespace quellin_test
