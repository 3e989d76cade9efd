// The header and the status lines on stdout, read through a pipe by a server that has no
// terminal at all.

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"

namespace orvane::e2e {
namespace {

using namespace std::chrono_literals;

std::size_t CountStatusLines(const std::string& output) {
  return CompleteStatusLines(output).size();
}

// A server on fresh ports with stdout through a pipe and no controlling terminal.
class PipedServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ports_ = FreeEchoAndChargenPorts();
    ASSERT_NE(ports_.echo, 0) << "no free ports";
  }

  void Start() {
    server_.emplace(std::vector<std::string>{"-e", std::to_string(ports_.echo), "-c",
                                             std::to_string(ports_.chargen)});
    ASSERT_TRUE(server_->Started()) << server_->error();
  }

  // Waits for the header and `count` complete status lines in all.
  void ReadStatusLines(std::size_t count, Clock::duration within) {
    ASSERT_TRUE(server_->ReadStdoutUntil(
        [count](const std::string& out) { return CountStatusLines(out) >= count; }, In(within)))
        << "got only:\n"
        << server_->Stdout() << "\nserver " << DescribeWaitStatus(server_->WaitForExit(In(0s)));
  }

  ServicePortPair ports_{};
  std::optional<ServerProcess> server_;
};

// Through a pipe the header is not sent on its own: it comes in the same write as the first
// status line, which is due when the clock reaches the next second.
TEST_F(PipedServer, HeaderArrivesTogetherWithTheFirstStatusLine) {
  // Start just after a second has begun, so that the first status line is almost a second
  // away and a header sent early would be read alone. The server's clock cannot be behind the
  // second seen here, so its first status line cannot come before the next one.
  const std::time_t before = std::time(nullptr);
  std::time_t startSecond = before;
  for (int i = 0; i < 3000 && startSecond == before; ++i) {
    std::this_thread::sleep_for(1ms);
    startSecond = std::time(nullptr);
  }
  const auto started = Clock::now();
  ASSERT_NO_FATAL_FAILURE(Start());

  const std::string first = server_->ReadStdoutOnce(In(10s));
  const auto elapsed = Clock::now() - started;
  timespec arrived{};
  clock_gettime(CLOCK_REALTIME, &arrived);

  EXPECT_EQ(first, std::string(kExpectedHeader) + std::string(kIdleStatusLine));
  // Nothing came before that next second (a little slack for the two clocks).
  const double sinceStartSecond = static_cast<double>(arrived.tv_sec - startSecond) +
                                  static_cast<double>(arrived.tv_nsec) / 1e9;
  EXPECT_GE(sinceStartSecond, 0.98)
      << "output came " << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()
      << " ms after the start";
}

// One status line a second, each ending in '\r' without a newline; with no traffic every
// figure is 0.
TEST_F(PipedServer, WritesOneIdleStatusLinePerSecond) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_NO_FATAL_FAILURE(ReadStatusLines(1, 10s));
  const std::size_t before = CountStatusLines(server_->Stdout());
  server_->ReadStdoutFor(4s);
  const std::size_t during = CountStatusLines(server_->Stdout()) - before;
  EXPECT_GE(during, 3u);
  EXPECT_LE(during, 5u);

  const std::string& out = server_->Stdout();
  ASSERT_TRUE(out.starts_with(kExpectedHeader)) << out;
  EXPECT_EQ(out.find('\n', kExpectedHeader.size()), std::string::npos)
      << "a newline after the header";
  for (const std::string& line : CompleteStatusLines(out)) EXPECT_EQ(line, kIdleStatusLine);
}

// The connection columns count the clients that the server has taken in.
TEST_F(PipedServer, ConnectionColumnsCountAcceptedClients) {
  ASSERT_NO_FATAL_FAILURE(Start());
  // The first status line shows that every socket is open; it counts no client yet.
  ASSERT_NO_FATAL_FAILURE(ReadStatusLines(1, 10s));
  const auto first = ParseStatusLine(CompleteStatusLines(server_->Stdout()).front());
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->chargenConns, 0u);
  EXPECT_EQ(first->echoConns, 0u);

  std::vector<UniqueFd> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(ConnectTcp(ports_.chargen));
  for (int i = 0; i < 2; ++i) clients.push_back(ConnectTcp(ports_.echo));
  for (const auto& c : clients) ASSERT_TRUE(c.Valid());

  const bool counted = server_->ReadStdoutUntil(
      [](const std::string& out) {
        const auto lines = CompleteStatusLines(out);
        const auto last = lines.empty() ? std::nullopt : ParseStatusLine(lines.back());
        return last && last->chargenConns == 3 && last->echoConns == 2;
      },
      In(10s));
  EXPECT_TRUE(counted) << server_->Stdout();
  for (const std::string& line : CompleteStatusLines(server_->Stdout())) {
    EXPECT_TRUE(ParseStatusLine(line).has_value()) << "malformed: '" << line << "'";
  }
}

// With no controlling terminal (no keyboard to read), the server keeps serving and reporting.
TEST_F(PipedServer, KeepsServingWithoutAControllingTerminal) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_NO_FATAL_FAILURE(ReadStatusLines(1, 10s));
  const auto state = ReadProcessState(server_->pid());
  ASSERT_TRUE(state.has_value());
  EXPECT_EQ(state->ttyNr, 0) << "the server has a controlling terminal";

  ASSERT_NO_FATAL_FAILURE(ReadStatusLines(4, 10s));
  EXPECT_TRUE(ConnectTcp(ports_.chargen).Valid());
  EXPECT_TRUE(ConnectTcp(ports_.echo).Valid());
  EXPECT_FALSE(BindUdp("127.0.0.1", ports_.echo).Valid());
  EXPECT_TRUE(server_->Running());
}

}  // namespace
}  // namespace orvane::e2e
