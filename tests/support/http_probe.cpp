#include "http_probe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <sstream>

#include "journel/unique_fd.h"

namespace kestrane_test {

std::string http_answer(int port, const std::string& path) {
  const journel::UniqueFd socket(::socket(AF_INET, SOCK_STREAM, 0));
  if (!socket.valid()) return "";
  const int fd = socket.get();
  timeval timeout{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
      char buffer[4096];
      for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, n);
    }
  }
  return answer;
}

std::optional<std::string> http_get(int port, const std::string& path) {
  const std::string answer = http_answer(port, path);
  const auto body = answer.find("\r\n\r\n");
  if (body == std::string::npos) return std::nullopt;
  return answer.substr(body + 4);
}

std::optional<double> metric_value(const std::string& metrics, const std::string& series) {
  std::istringstream lines(metrics);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(series + " ", 0) == 0) return std::stod(line.substr(series.size() + 1));
  }
  return std::nullopt;
}

}  // namespace kestrane_test
