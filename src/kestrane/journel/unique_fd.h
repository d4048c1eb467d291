#pragma once
// UniqueFd: sole owner of one POSIX file descriptor (a file, a folder, a socket, an eventfd),
// closed when the owner goes. Movable, not copyable, like std::unique_ptr; one thread at a time.

namespace journel {

class UniqueFd {
 public:
  UniqueFd() = default;
  // Takes `fd`; a negative value (a failed open) makes an empty owner.
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept;
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  // Gives the descriptor up without closing it; the caller owns it from now on.
  [[nodiscard]] int release() noexcept;
  // Closes the descriptor held (if any) and takes `fd`.
  void reset(int fd = -1) noexcept;
  // Closes now and returns 0, or the errno of a failed close: some file systems report a write
  // they could not complete only here. The descriptor is gone either way.
  int close() noexcept;

 private:
  int fd_ = -1;
};

}  // namespace journel
