#pragma once

#include <cstdint>

namespace orvane {

class Platform;

// A fatal socket failure: thrown as a heap-allocated pointer by ThrowSockException, caught
// once in the run sequence, which reports it and disposes of it with Delete().
class CSockException {
 public:
  explicit CSockException(std::int32_t code) : m_nErrorCode(code) {}
  CSockException(const CSockException&) = delete;
  CSockException& operator=(const CSockException&) = delete;
  virtual ~CSockException() = default;

  [[nodiscard]] virtual const char* GetErrorText() const;
  [[nodiscard]] virtual std::int32_t GetErrorCode() const { return m_nErrorCode; }
  // Destroys this object. The catcher checks for a null pointer before calling it.
  virtual void Delete() { delete this; }

 private:
  std::int32_t m_nErrorCode;
};

// The fixed text for a socket error code; never null.
const char* SockErrorText(std::int32_t code);

// Reads the last socket error at once, before anything else touches the socket layer, and
// throws it. If the exception object cannot be allocated, a null pointer is thrown.
[[noreturn]] void ThrowSockException(Platform& platform);

}  // namespace orvane
