#include "KestraneBrowse/browse_command.h"

#include <charconv>
#include <chrono>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "KestraneBrowse/tag_list_writer.h"
#include "pyqar/address_space_walk.h"
#include "pyqar/ua_browser.h"

namespace kestrane_browse {
namespace {

// Progress lines on standard error are at least this far apart.
constexpr auto kProgressInterval = std::chrono::milliseconds(500);

int parse_depth(const std::string& text) {
  int depth = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), depth);
  if (ec != std::errc() || end != text.data() + text.size() || depth < 1) {
    throw UsageError(fmt::format("--depth '{}': must be a whole number of at least 1", text));
  }
  return depth;
}

// The first line of a password file, without its line end.
std::string read_password(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::string line;
  if (!in || !std::getline(in, line)) {
    throw UsageError(fmt::format("--password-file '{}': cannot read the file", file));
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// The rows in tag-list form; returns how many names could not be written.
std::size_t write_rows(std::ostream& out, const std::vector<pyqar::FoundVariable>& variables,
                       bool index, std::ostream& err) {
  TagListWriter writer(out);
  std::size_t skipped = 0;
  for (const auto& v : variables) {
    const std::string& name = index ? v.node.index_node_id : v.node.node_id;
    const std::string& description =
        v.node.description.empty() ? v.browse_path : v.node.description;
    if (!writer.write(name, description, v.node.data_type)) {
      ++skipped;
      err << "kestrane-browse: skipped a variable whose NodeId cannot be a tag name: "
          << TagListWriter::clean(name) << '\n';
    }
  }
  return skipped;
}

}  // namespace

BrowseArgs parse_browse_args(const std::vector<std::string>& args) {
  BrowseArgs parsed;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw UsageError(fmt::format("{}: needs a value", a));
      return args[++i];
    };
    if (a == "--root") {
      parsed.root = value();
      if (parsed.root.empty()) throw UsageError("--root: needs a NodeId");
    } else if (a == "--depth") {
      parsed.depth = parse_depth(value());
    } else if (a == "--all-types") {
      parsed.all_types = true;
    } else if (a == "--index") {
      parsed.index = true;
    } else if (a == "-o" || a == "--output") {
      const std::string& file = value();
      if (file.empty()) throw UsageError(fmt::format("{}: needs a file name", a));
      parsed.output = file;
    } else if (a == "--security-policy") {
      const auto policy = pyqar::parse_security_policy(value());
      if (!policy) {
        throw UsageError(fmt::format(
            "--security-policy '{}': must be None, Basic256Sha256, Aes128_Sha256_RsaOaep or "
            "Aes256_Sha256_RsaPss",
            args[i]));
      }
      parsed.security.policy = *policy;
    } else if (a == "--security-mode") {
      const auto mode = pyqar::parse_security_mode(value());
      if (!mode) {
        throw UsageError(
            fmt::format("--security-mode '{}': must be None, Sign or SignAndEncrypt", args[i]));
      }
      parsed.security.mode = *mode;
    } else if (a == "--username") {
      parsed.security.username = value();
    } else if (a == "--password-file") {
      parsed.security.password = read_password(value());
    } else if (a == "--pki-dir") {
      parsed.security.pki_dir = value();
      if (parsed.security.pki_dir.empty()) throw UsageError("--pki-dir: needs a folder");
    } else if (a == "--skip-hostname-check") {
      parsed.security.skip_hostname_check = true;
    } else if (a.starts_with("-")) {
      throw UsageError(fmt::format("unknown option '{}'", a));
    } else if (parsed.url.empty()) {
      parsed.url = a;
    } else {
      throw UsageError(
          fmt::format("unexpected argument '{}': the server address is '{}'", a, parsed.url));
    }
  }
  if (parsed.url.empty()) throw UsageError("no server address given");
  if (const std::string why =
          pyqar::check_policy_and_mode(parsed.security.policy, parsed.security.mode);
      !why.empty()) {
    throw UsageError(why);
  }
  if (parsed.security.username.empty() && !parsed.security.password.empty()) {
    throw UsageError("--password-file: needs --username");
  }
  if (!parsed.url.starts_with("opc.tcp://")) {
    throw UsageError(
        fmt::format("'{}' is not an OPC UA address (opc.tcp://host:port)", parsed.url));
  }
  return parsed;
}

int run_browse(const BrowseArgs& args, std::stop_token stop, std::ostream& out, std::ostream& err) {
  pyqar::WalkResult result;
  pyqar::BrowseCallCounts counts;
  const auto started = std::chrono::steady_clock::now();
  try {
    pyqar::UaBrowser browser(args.url, args.security);
    try {
      browser.node(args.root);
    } catch (const std::exception& e) {
      err << "kestrane-browse: --root '" << (args.root.empty() ? "i=85" : args.root)
          << "': " << e.what() << '\n';
      return kExitFailed;
    }
    err << "kestrane-browse: walking " << args.url << " from "
        << (args.root.empty() ? "the Objects folder" : args.root) << '\n';
    auto last = std::chrono::steady_clock::now();
    pyqar::WalkOptions options{.root = args.root,
                               .max_depth = args.depth,
                               .all_types = args.all_types,
                               .progress = {},
                               .stop = stop};
    options.progress = [&](const pyqar::WalkProgress& p) {
      const auto now = std::chrono::steady_clock::now();
      if (now - last < kProgressInterval) return;
      last = now;
      err << "kestrane-browse: " << p.nodes_visited << " nodes visited, " << p.variables_found
          << " variables found\n";
    };
    result = pyqar::walk_address_space(browser, options);
    counts = browser.call_counts();
  } catch (const std::exception& e) {
    err << "kestrane-browse: " << e.what() << '\n';
    return kExitFailed;
  }
  for (const auto& e : result.errors) err << "kestrane-browse: " << e << '\n';

  std::size_t skipped = 0;
  if (args.output) {
    const std::filesystem::path tmp = args.output->string() + ".tmp";
    {
      std::ofstream file(tmp, std::ios::binary | std::ios::trunc);
      if (file) skipped = write_rows(file, result.variables, args.index, err);
      file.flush();
      if (!file) {
        std::error_code ignored;
        std::filesystem::remove(tmp, ignored);
        err << "kestrane-browse: -o '" << args.output->string() << "': cannot write the file\n";
        return kExitFailed;
      }
    }
    std::error_code ec;
    std::filesystem::rename(tmp, *args.output, ec);
    if (ec) {
      std::filesystem::remove(tmp, ec);
      err << "kestrane-browse: -o '" << args.output->string() << "': " << ec.message() << '\n';
      return kExitFailed;
    }
  } else if (!result.stopped) {
    skipped = write_rows(out, result.variables, args.index, err);
    out.flush();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  err << fmt::format(
      "kestrane-browse: {} after {:.1f} s: {} nodes visited, {} variables listed, {} Browse and "
      "{} BrowseNext calls\n",
      result.stopped ? "stopped" : "done", seconds, result.progress.nodes_visited,
      result.variables.size() - skipped, counts.browse, counts.browse_next);
  return result.stopped ? kExitStopped : kExitDone;
}

}  // namespace kestrane_browse
