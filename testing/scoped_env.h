// Test support: sets (or, with nullptr, removes) an environment variable for
// one test and puts the old value back when it goes out of scope.
#pragma once

#include <cstdlib>
#include <string>

namespace tolvane::testing {

class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        if (old) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_.c_str(), old_.c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_, old_;
    bool had_ = false;
};

}  // namespace tolvane::testing
