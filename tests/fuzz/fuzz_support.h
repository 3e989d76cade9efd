#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace orvane::fuzz {

// A property that does not hold: says which, and ends the run so that libFuzzer keeps the
// input that broke it.
inline void Check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "property broken: %s\n", what);
  std::abort();
}

// A FILE* stream into memory, for code that writes to one; Close() gives what was written.
class MemoryStream {
 public:
  MemoryStream() : file_(open_memstream(&text_, &length_)) {
    Check(file_ != nullptr, "open_memstream failed");
  }
  MemoryStream(const MemoryStream&) = delete;
  MemoryStream& operator=(const MemoryStream&) = delete;
  ~MemoryStream() {
    if (file_ != nullptr) std::fclose(file_);
    std::free(text_);
  }

  [[nodiscard]] std::FILE* get() const { return file_; }
  std::string Close() {
    std::fclose(file_);
    file_ = nullptr;
    return std::string(text_, length_);
  }

 private:
  char* text_ = nullptr;
  std::size_t length_ = 0;
  std::FILE* file_;
};

}  // namespace orvane::fuzz
