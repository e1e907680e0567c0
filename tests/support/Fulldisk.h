// A full disk the test makes itself: while a FullDisk lives, no file of this process may grow
// past `bytes` (RLIMIT_FSIZE), and a write past it fails with EFBIG as on a full file system
// (the signal that would end the process is ignored meanwhile). Other threads of the process
// are bound too: keep the scope short.
#pragma once

#include <sys/resource.h>

#include <csignal>

namespace tvtest {

class FullDisk {
 public:
  explicit FullDisk(rlim_t bytes) {
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit limit = previous_;
    limit.rlim_cur = bytes;
    active_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FullDisk() {
    setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousHandler_);
  }
  FullDisk(const FullDisk&) = delete;
  FullDisk& operator=(const FullDisk&) = delete;
  // Whether the limit holds: a test asserts it, so that it cannot pass without a full disk.
  bool Active() const { return active_; }

 private:
  rlimit previous_{};
  void (*previousHandler_)(int) = SIG_DFL;
  bool active_ = false;
};

}  // namespace tvtest
