// A limit on how far this process may grow a file, for tests of writes that
// fail part-way (a full disk, a quota): while a FileSizeLimit lives, a write
// past `bytes` fails with EFBIG (SIGXFSZ is ignored, so it does not end the
// test). The previous limit and signal action come back when it goes.
#pragma once

#include <sys/resource.h>

#include <csignal>

namespace tolvane::testing {

class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        if (getrlimit(RLIMIT_FSIZE, &saved_) != 0) return;
        struct rlimit small = saved_;
        small.rlim_cur = bytes;
        previous_ = signal(SIGXFSZ, SIG_IGN);
        set_ = setrlimit(RLIMIT_FSIZE, &small) == 0;
    }
    ~FileSizeLimit() {
        if (!set_) return;
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, previous_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    // Whether the limit is in force.
    bool set() const { return set_; }

  private:
    struct rlimit saved_ {};
    void (*previous_)(int) = SIG_DFL;
    bool set_ = false;
};

}  // namespace tolvane::testing
