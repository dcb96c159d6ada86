#pragma once

#include <unistd.h>
#include <utility>

namespace kelvo {

// Owns one file descriptor and closes it when dropped. Move-only.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes now and returns what close(2) did: 0, or -1 with errno set. A
    // written file's last error can show only here.
    int close() { return fd_ >= 0 ? ::close(std::exchange(fd_, -1)) : 0; }

  private:
    int fd_ = -1;
};

}  // namespace kelvo
