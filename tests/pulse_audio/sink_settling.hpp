#pragma once

#include <chrono>

#include "tests/support/desktop/test_desktop.hpp"

namespace pulsetest {

// A null sink renders its first block of up to two seconds before the desktop's keep-alive
// streams bring its latency down; until that block has played, its monitor delivers nothing.
// Waits until every sink of `desktop` runs at a low latency; false when `timeout` passes first.
bool waitUntilSinksSettle(const testsupport::TestDesktop& desktop, std::chrono::milliseconds timeout);

}  // namespace pulsetest
