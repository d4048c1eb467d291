#pragma once
// The kestrane-browse command: its arguments and the run that walks the server and writes
// the tag list. Free functions; run_browse runs on the caller's thread and watches the stop
// token, which a signal-handling thread may trigger.

#include <filesystem>
#include <limits>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

#include "pyqar/ua_security.h"

namespace kestrane_browse {

struct BrowseArgs {
  std::string url;
  std::string root;  // empty: the Objects folder
  int depth = std::numeric_limits<int>::max();
  bool all_types = false;
  bool index = false;  // FullTagName with ns=<index> instead of nsu=<uri>
  std::optional<std::filesystem::path> output;
  // Channel security, user (the password read from a file) and PKI folder.
  pyqar::UaSecurity security;
};

// Arguments that cannot be run; the message names the argument and the fault.
class UsageError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

inline constexpr char kUsage[] =
    "usage: kestrane-browse opc.tcp://host:port [--root NODEID] [--depth N] [--all-types] "
    "[--index] [-o FILE] [--security-policy POLICY --security-mode MODE] [--username NAME "
    "--password-file FILE] [--pki-dir DIR] [--skip-hostname-check]";

// Throws UsageError.
BrowseArgs parse_browse_args(const std::vector<std::string>& args);

// Exit statuses of run_browse.
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitStopped = 130;

// Connects, walks and writes the list to `args.output` (through a temporary file renamed at
// the end, so a stopped walk leaves a valid partial list) or to `out`. Errors and progress
// go to `err`. No file is made when the walk never starts.
int run_browse(const BrowseArgs& args, std::stop_token stop, std::ostream& out, std::ostream& err);

}  // namespace kestrane_browse
