#include "spool_test_support.h"

#include <algorithm>

namespace kestrane_test {

quellin::SpoolBatch batch(std::uint64_t seq, std::uint64_t rows) {
  quellin::SpoolBatch b{.writer_id = "writer-1",
                        .seq = seq,
                        .time_us = kT0 + static_cast<std::int64_t>(seq) * kSecond,
                        .rows = {}};
  for (std::uint64_t i = 0; i < rows; ++i) {
    b.rows.push_back({"Area.Tag" + std::to_string(1000 + i), static_cast<double>(seq + i), "Good"});
  }
  return b;
}

std::filesystem::path segment_path(const std::filesystem::path& folder, int number) {
  const std::string digits = std::to_string(number);
  return folder / ("spool-" + std::string(16 - digits.size(), '0') + digits + ".dat");
}

std::vector<std::string> segment_files(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.ends_with(".dat")) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::uint64_t> drain(quellin::Spool& spool) {
  std::vector<std::uint64_t> seqs;
  while (auto b = spool.front()) {
    seqs.push_back(b->seq);
    spool.pop_front();
  }
  return seqs;
}

}  // namespace kestrane_test
