// A move-only owner of one operating-system descriptor: the descriptor is
// closed exactly once, when its owner goes away.
#pragma once

#include <utility>

namespace fernhollow::platform {

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

    // The descriptor, or -1 when none is owned.
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Gives up ownership without closing.
    int release() { return std::exchange(fd_, -1); }
    // Closes the owned descriptor (if any) and takes `fd` instead.
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

} // namespace fernhollow::platform
