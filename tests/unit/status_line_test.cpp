#include "engine/status_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace orvane {
namespace {

std::string Format(const StatusFigures& figures) {
  char buf[kStatusLineCapacity];
  const std::size_t n = FormatStatusLine(figures, buf, sizeof buf);
  return std::string(buf, n);
}

TEST(StatusLine, ColumnsAndKilobits) {
  struct Case {
    StatusFigures figures;
    const char* line;
  } const cases[] = {
      {{0, 0, 0, 0, 0, 0}, "   0,     0     0,     0     0,     0    \r"},
      // 127 bytes are less than one kilobit; 128 bytes are exactly one.
      {{1, 127, 1, 128, 1, 255}, "   1,     0     1,     1     1,     1    \r"},
      {{1, 52, 3, 1514 * 4, 2, 59}, "   1,     0     3,    47     2,     0    \r"},
      {{12345, 1280000, 64, 99999 * 128, 64, 100000 * 128},
       "12345, 10000    64, 99999    64, 100000    \r"},
  };
  for (const auto& c : cases) EXPECT_EQ(Format(c.figures), c.line);
}

TEST(StatusLine, LargestFiguresFit) {
  const std::uint32_t most = 0xFFFFFFFFu;
  const std::string line = Format({most, most, most, most, most, most});
  EXPECT_EQ(line, "4294967295, 33554431  4294967295, 33554431  4294967295, 33554431    \r");
  EXPECT_LT(line.size(), kStatusLineCapacity);
}

}  // namespace
}  // namespace orvane
