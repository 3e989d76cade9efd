#pragma once

// A test fixture for the services: one server on fresh ports, already serving when the test
// body starts, and stopped by its harness when the test ends.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tests/e2e/harness.h"

namespace orvane::e2e {

class ServingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    serving_ = StartServing(In(std::chrono::seconds(10)));
    ASSERT_TRUE(serving_.process) << serving_.error;
  }

  ServerProcess& server() { return *serving_.process; }
  [[nodiscard]] std::uint16_t echoPort() const { return serving_.ports.echo; }
  [[nodiscard]] std::uint16_t chargenPort() const { return serving_.ports.chargen; }

  // Fails the test unless the server is still running.
  void ExpectStillRunning() {
    EXPECT_TRUE(server().Running())
        << "the server " << DescribeWaitStatus(server().WaitForExit(Clock::now()));
  }

  // The descriptors the server holds with no clients at all, once the status line shows that
  // none are left (the connections that saw it serving are gone).
  std::size_t IdleDescriptors() {
    const bool idle = WaitForStatus(
        server(), [](const StatusFigures& f) { return f.chargenConns == 0 && f.echoConns == 0; },
        In(std::chrono::seconds(10)));
    EXPECT_TRUE(idle) << "clients left over: " << server().Stdout();
    const auto count = CountOpenDescriptors(server().pid());
    EXPECT_TRUE(count.has_value()) << "no /proc/" << server().pid() << "/fd";
    return count.value_or(0);
  }

  // Makes the server go round its loop at least `passes` more times: each datagram is sent
  // only once the one before has been answered, so each is answered in a pass of its own.
  // Whatever the server would do for a client that is ready now, it has done by the end.
  void GoRoundTheLoop(int passes) {
    const UniqueFd witness = BindUdp("127.0.0.1", 0);
    ASSERT_TRUE(witness.Valid()) << std::strerror(errno);
    for (int i = 0; i < passes; ++i) {
      const std::string payload = "pass " + std::to_string(i);
      ASSERT_TRUE(SendDatagram(witness.Get(), echoPort(), payload));
      const auto answer = ReceiveDatagram(witness.Get(), In(std::chrono::seconds(5)));
      ASSERT_TRUE(answer.has_value() && answer->payload == payload) << "pass " << i;
    }
  }

  ServingServer serving_;
};

}  // namespace orvane::e2e
