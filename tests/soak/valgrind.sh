#!/usr/bin/env bash
# The server under valgrind memcheck through three soak runs: 10 clients with little traffic,
# 61 clients that all fit into the readiness sets with much more, and 100 clients, more than
# the sets hold. Each must end without a memory error or a leak, and all must show the same
# heap usage: the server allocates nothing while it serves, however many clients come and go
# and however much they send.
#
#   tests/soak/valgrind.sh [BUILD_DIR]      (default build/release; needs valgrind)
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/release}
soak=$build/tests/soak/orvane_soak
logs=$(mktemp -d /tmp/orvane-valgrind.XXXXXX)

run() {
  local name=$1
  shift
  echo "== $name: orvane_soak --valgrind $*"
  "$soak" --valgrind --valgrind-log "$logs/$name.log" "$@"
  echo
}
heap() {
  grep -o 'total heap usage: .*' "$logs/$1.log" | tail -1
}

run few --time 10 --chargen 5 --echo 5 --churn 1 --udp 1
run fitting --time 30 --chargen 28 --echo 28 --churn 5 --udp 4
run crowd --time 30 --chargen 50 --echo 50 --churn 4 --udp 4

echo "10 clients:           $(heap few)"
echo "61 clients, all fit:  $(heap fitting)"
echo "100 clients, crowded: $(heap crowd)"
echo "logs in $logs"
if [[ "$(heap few)" != "$(heap fitting)" || "$(heap few)" != "$(heap crowd)" ]]; then
  echo "FAIL: the heap usage grows with clients or traffic"
  exit 1
fi
echo "PASS: no memory error, no leak, the same heap usage with 10, 61 and 100 clients"
