#pragma once
// UaBrowser: one OPC UA session for walking a server's address space, secured and logged on
// as the caller says. The caller owns it; it is created, used and destroyed on one thread, and may
// be moved to a worker thread before its first use.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pyqar/ua_security.h"

namespace pyqar {

// One node as browsing found it.
struct BrowsedNode {
  std::string node_id;        // tag-list text with the namespace URI: "nsu=urn:x;s=Boiler.Temp"
                              // (namespace 0 nodes keep their short form, "i=85")
  std::string index_node_id;  // the same node with the current index: "ns=2;s=Boiler.Temp"
  std::string browse_name;
  std::string display_name;
  std::string description;  // empty when the server has none
  bool is_variable = false;
  bool numeric = false;  // a Variable whose DataType is numeric or Boolean
  // A Variable's DataType as written for people ("Double", else "nsu=<uri>;i=3001"); empty for
  // other nodes and when the server gave none.
  std::string data_type;
};

// What a browser shows beside a variable: its value now and its engineering unit.
struct VariableDetails {
  std::string value;   // as text ("12.5", "true", JSON for arrays), cut when long; empty: none
  std::string status;  // the value's status name when it is not Good ("BadWaitingForInitialData")
  std::string unit;    // the EngineeringUnits property's display name ("°C"); empty: none
  std::string error;   // why the node could not be read at all; empty when it was

  bool operator==(const VariableDetails&) const = default;
};

// Service calls made so far, for progress lines and benchmarks.
struct BrowseCallCounts {
  std::uint64_t browse = 0;
  std::uint64_t browse_next = 0;
};

class UaBrowser {
 public:
  // Opens a session on `url` ("opc.tcp://host:port"), secured as `security` says; throws
  // std::runtime_error naming the address and the reason when the server cannot be reached.
  explicit UaBrowser(const std::string& url, const UaSecurity& security = {});
  ~UaBrowser();
  UaBrowser(UaBrowser&&) noexcept;
  UaBrowser& operator=(UaBrowser&&) noexcept;

  // The node named by tag-list text ("nsu=…;…", "ns=…;…", "i=…"; empty: the Objects folder).
  // Throws std::invalid_argument for text that does not parse or a namespace URI the server
  // does not have, std::runtime_error for a node the server does not have.
  BrowsedNode node(const std::string& node_id);
  // The targets of the node's forward hierarchical references, in the server's order, every
  // continuation point followed and released. Throws std::runtime_error when the server fails.
  std::vector<BrowsedNode> children(const std::string& node_id);

  // The children of each node, as children() returns them, browsed together: Browse
  // requests carry many nodes (split to the server's MaxNodesPerBrowse), so a walk takes few
  // round trips. A node the server cannot browse gets its error instead of children.
  struct Children {
    std::vector<BrowsedNode> nodes;
    std::string error;  // empty when the node was browsed
  };
  std::vector<Children> children_of_each(const std::vector<std::string>& node_ids);

  // The value and unit of each variable, in order: one Read of the values, one Browse for
  // the EngineeringUnits properties and one Read of them (each split to the server's limits).
  // A node whose text does not parse gets its error; a unit that is not an EUInformation is
  // left empty. Throws std::runtime_error when the server fails.
  std::vector<VariableDetails> details(const std::vector<std::string>& node_ids);

  // Whether the session still works: after a failed service call every later call fails.
  bool usable() const;

  BrowseCallCounts call_counts() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace pyqar
