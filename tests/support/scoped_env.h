#pragma once

// An environment variable set (or unset) for one scope, as the test found it
// again afterwards.

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

namespace kelvo::test_support {

class ScopedEnv {
  public:
    // Sets `name` to `value`, or unsets it when `value` is nothing.
    ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) saved_ = old;
        set(value);
    }
    ~ScopedEnv() { set(saved_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

    void set(const std::optional<std::string>& value) const {
        if (value)
            ::setenv(name_.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name_.c_str());
    }

  private:
    std::string name_;
    std::optional<std::string> saved_;
};

}  // namespace kelvo::test_support
