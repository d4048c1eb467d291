#include "Kestrane/uabrowsesource.h"

#include <stdexcept>
#include <utility>

UaBrowseSource::UaBrowseSource(const std::string& url, const pyqar::UaSecurity& security)
    : browser_(url, security) {}

std::vector<pyqar::BrowsedNode> UaBrowseSource::children(const std::string& node_id) {
  return browser_.children(node_id);
}

std::vector<std::vector<pyqar::BrowsedNode>> UaBrowseSource::children_of_each(
    const std::vector<std::string>& node_ids) {
  std::vector<pyqar::UaBrowser::Children> answers = browser_.children_of_each(node_ids);
  std::vector<std::vector<pyqar::BrowsedNode>> lists;
  lists.reserve(answers.size());
  for (std::size_t i = 0; i < answers.size(); ++i) {
    if (!answers[i].error.empty()) {
      throw std::runtime_error("browsing " + node_ids[i] + ": " + answers[i].error);
    }
    lists.push_back(std::move(answers[i].nodes));
  }
  return lists;
}

std::vector<pyqar::VariableDetails> UaBrowseSource::details(
    const std::vector<std::string>& node_ids) {
  return browser_.details(node_ids);
}

BrowseSourceFactory UaBrowseSource::factory(const pyqar::UaSecurity& security) {
  return [security](const std::string& url) -> std::unique_ptr<BrowseSource> {
    return std::make_unique<UaBrowseSource>(url, security);
  };
}
