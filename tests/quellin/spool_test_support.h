#pragma once
// Helpers the spool tests share: batches that all encode to the same size, the names of a spool
// folder's segment files, and reading a spool empty. Free functions without state; any thread
// that owns the spool or folder it is given.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "spool/spool.h"

namespace kestrane_test {

// 2024-01-02T03:04:05.006123Z
inline constexpr std::int64_t kT0 = 1704164645006123;
inline constexpr std::int64_t kSecond = 1'000'000;
inline constexpr std::uint64_t kBatchRows = 3;

// Batch `seq` of writer "writer-1", stamped kT0 + seq seconds. Every batch with the same number
// of rows encodes to the same size, so tests can name offsets and fill levels.
quellin::SpoolBatch batch(std::uint64_t seq, std::uint64_t rows = kBatchRows);

// The path of segment `number` in `folder`, named as the spool names it.
std::filesystem::path segment_path(const std::filesystem::path& folder, int number);

// The segment files (*.dat) in `folder` by name, sorted.
std::vector<std::string> segment_files(const std::filesystem::path& folder);

// Pops every batch and returns their seqs in the order read.
std::vector<std::uint64_t> drain(quellin::Spool& spool);

}  // namespace kestrane_test
