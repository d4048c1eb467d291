#include "Kestrane/browsewalk.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "Kestrane/taglistcheck.h"

namespace {

// Nodes asked for in one request: enough for few round trips, few enough that a cancel is
// seen promptly and progress moves.
constexpr std::size_t kBrowseChunk = 500;

std::size_t character_count(const std::string& utf8) {
  return static_cast<std::size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// A server's text may hold line breaks or other control characters; in the table and in
// the database they would only garble the row.
std::string clean_text(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, ' ');
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

std::string browse_label(const pyqar::BrowsedNode& node) {
  if (!node.display_name.empty()) return node.display_name;
  if (!node.browse_name.empty()) return node.browse_name;
  return node.node_id;
}

std::vector<std::vector<pyqar::BrowsedNode>> BrowseSource::children_of_each(
    const std::vector<std::string>& node_ids) {
  std::vector<std::vector<pyqar::BrowsedNode>> lists;
  lists.reserve(node_ids.size());
  for (const std::string& id : node_ids) lists.push_back(children(id));
  return lists;
}

std::vector<pyqar::VariableDetails> BrowseSource::details(
    const std::vector<std::string>& node_ids) {
  return std::vector<pyqar::VariableDetails>(node_ids.size());
}

BrowseWalkResult collect_variables(BrowseSource& source, const std::vector<BrowseTarget>& targets,
                                   const BrowseWalkHooks& hooks) {
  BrowseWalkResult result;
  // Found level by level, many nodes per request, so that a folder of 20,000 variables costs a
  // few round trips rather than one per variable. Each node is kept once, under the first
  // parent that showed it, so loops end.
  struct Found {
    pyqar::BrowsedNode node;
    std::string path;
    std::vector<std::size_t> children;  // indexes into `found`, in the server's order
  };
  std::vector<Found> found;
  std::unordered_map<std::string, std::size_t> index_of;
  std::vector<std::size_t> roots;
  std::vector<std::size_t> level;
  for (const BrowseTarget& target : targets) {
    if (index_of.contains(target.node.node_id)) continue;
    index_of.emplace(target.node.node_id, found.size());
    roots.push_back(found.size());
    level.push_back(found.size());
    found.push_back({target.node, target.path, {}});
  }
  result.visited = found.size();
  while (!level.empty()) {
    std::vector<std::size_t> next;
    for (std::size_t start = 0; start < level.size(); start += kBrowseChunk) {
      if (hooks.cancelled && hooks.cancelled()) {
        result.cancelled = true;
        return result;
      }
      const std::size_t end = std::min(level.size(), start + kBrowseChunk);
      std::vector<std::string> ids;
      ids.reserve(end - start);
      for (std::size_t i = start; i < end; ++i) ids.push_back(found[level[i]].node.node_id);
      std::vector<std::vector<pyqar::BrowsedNode>> lists = source.children_of_each(ids);
      for (std::size_t i = start; i < end && i - start < lists.size(); ++i) {
        for (pyqar::BrowsedNode& child : lists[i - start]) {
          if (index_of.contains(child.node_id)) continue;
          const std::size_t parent = level[i];
          std::string path = found[parent].path.empty()
                                 ? browse_label(child)
                                 : found[parent].path + "/" + browse_label(child);
          index_of.emplace(child.node_id, found.size());
          found[parent].children.push_back(found.size());
          next.push_back(found.size());
          found.push_back({std::move(child), std::move(path), {}});
        }
      }
      result.visited = found.size();
      if (hooks.progress) hooks.progress(result.visited, 0);
    }
    level = std::move(next);
  }
  // Listed depth first, in the server's order, so that a folder's variables stay together; an
  // explicit stack, so that a deep address space cannot exhaust the thread's own.
  std::vector<std::size_t> stack(roots.rbegin(), roots.rend());
  while (!stack.empty()) {
    const Found& current = found[stack.back()];
    stack.pop_back();
    if (current.node.is_variable) {
      if (!current.node.numeric) {
        ++result.not_numeric;
      } else if (character_count(current.node.node_id) > kMaxTagNameLength) {
        ++result.too_long;
      } else {
        std::string description = clean_text(current.node.description);
        if (description.empty()) description = clean_text(current.path);
        result.tags.push_back({current.node.node_id, std::move(description)});
      }
    }
    stack.insert(stack.end(), current.children.rbegin(), current.children.rend());
  }
  if (hooks.progress) hooks.progress(result.visited, result.tags.size());
  return result;
}
