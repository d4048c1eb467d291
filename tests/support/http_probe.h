#pragma once
// What a program's HTTP listener answers, asked from outside as a monitoring system would: one
// GET on loopback per call, and the value of one series in the Prometheus text it serves.
// Free functions; each call opens and closes its own connection.

#include <optional>
#include <string>

namespace kestrane_test {

// The whole answer (status line, head, body) to GET `path` on 127.0.0.1:`port`, or "" when
// nothing answered within 5 s.
std::string http_answer(int port, const std::string& path);

// The body of GET `path` on 127.0.0.1:`port`, or nothing when it cannot be had.
std::optional<std::string> http_get(int port, const std::string& path);

// The value of the metric line starting with `series` (name and labels as printed).
std::optional<double> metric_value(const std::string& metrics, const std::string& series);

}  // namespace kestrane_test
