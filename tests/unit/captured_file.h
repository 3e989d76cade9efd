#pragma once

#include <cstdio>
#include <string>

namespace orvane::testing {

// A stdio stream whose contents a test can read back.
class CapturedFile {
 public:
  CapturedFile() : file_(std::tmpfile()) {}
  CapturedFile(const CapturedFile&) = delete;
  CapturedFile& operator=(const CapturedFile&) = delete;
  ~CapturedFile() { std::fclose(file_); }

  std::FILE* get() const { return file_; }

  [[nodiscard]] std::string Text() const {
    std::fflush(file_);
    const long end = std::ftell(file_);
    std::string text(static_cast<std::size_t>(end), '\0');
    std::rewind(file_);
    const std::size_t got = std::fread(text.data(), 1, text.size(), file_);
    text.resize(got);
    std::fseek(file_, 0, SEEK_END);
    return text;
  }

 private:
  std::FILE* file_;
};

}  // namespace orvane::testing
