#pragma once

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/text.h"

namespace kelvo::test_support {

// Captures what the events write to standard output.
class StdoutCapture {
  public:
    StdoutCapture() {
        fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        char path[] = "/tmp/kelvo-stdout-XXXXXX";
        fd_ = ::mkstemp(path);
        ::unlink(path);
        ::dup2(fd_, STDOUT_FILENO);
    }
    ~StdoutCapture() {
        restore();
        if (fd_ >= 0) ::close(fd_);
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    void restore() {
        if (saved_ < 0) return;
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
        saved_ = -1;
    }
    std::string text() const {
        std::string out;
        char buf[4096];
        ssize_t n;
        for (off_t off = 0; (n = ::pread(fd_, buf, sizeof buf, off)) > 0; off += n)
            out.append(buf, static_cast<size_t>(n));
        return out;
    }
    // One short text per event: the state word (with ":port" for running),
    // the log line, or "error: " and the message.
    std::vector<std::string> events() const {
        std::vector<std::string> out;
        for (const auto& line : split_lines(text())) {
            const auto e = nlohmann::json::parse(line);
            const std::string kind = e.at("event");
            if (kind == "state") {
                std::string word = e.at("state");
                if (e.contains("port"))
                    word.append(":").append(std::to_string(e.at("port").get<int>()));
                out.push_back(word);
            } else if (kind == "log") {
                out.push_back(e.at("line"));
            } else {
                out.push_back("error: " + e.at("message").get<std::string>());
            }
        }
        return out;
    }

  private:
    int saved_ = -1, fd_ = -1;
};

}  // namespace kelvo::test_support
