// SPDX-License-Identifier: GPL-3.0-or-later
// The HTTP door's bounds, in one place for the door, the request stream and
// the tests that push against them.
#pragma once

#include <chrono>
#include <cstddef>

namespace gorvane::server {

// What one browser or scraper may cost. A connection waits at the door
// until its request's head has arrived whole, then for a place among the
// workers and those waiting for one; one not let in within kHttpHoldTime is
// answered 503. The door holds at most kHttpHeld connections, and an
// address at most kHttpHeldPerAddress (any more are answered 503 at once);
// with kHttpHeld held, the address holding most gives its oldest place up
// to a newcomer from an address holding fewer.
inline constexpr size_t kHttpWorkers = 3;
inline constexpr size_t kHttpWaiting = 16;
inline constexpr size_t kHttpHeld = 256;
inline constexpr size_t kHttpHeldPerAddress = 32;
inline constexpr auto kHttpHoldTime = std::chrono::seconds(1);
// Requests an address may start: a burst, then a pace.
inline constexpr size_t kHttpBurst = 40;
inline constexpr size_t kHttpPerSecond = 20;
// Connections the system holds until they are accepted; one that has sent
// nothing is not handed over for its first kHttpIdle.
inline constexpr int kHttpBacklog = 1024;
// A request's line and headers; GET has no body.
inline constexpr size_t kHttpRequestBytes = size_t{16} * 1024;
inline constexpr size_t kHttpRequestsPerConnection = 20;
// For a request's first byte, the first one's and each next one's.
inline constexpr auto kHttpIdle = std::chrono::seconds(2);
// From a request's first byte to its last.
inline constexpr auto kHttpReadTime = std::chrono::seconds(5);
// An answer's head and body: over twice the status page at its fullest
// (every list at kStatusRows, every name kNameBytes of the character that
// escapes longest: 1.6 MB) and many times /metrics.
inline constexpr size_t kHttpAnswerBytes = size_t{4} * 1024 * 1024;
// For the whole answer to be taken.
inline constexpr auto kHttpWriteTime = std::chrono::seconds(10);
// How often the door and a worker's wait look whether the server is
// stopping.
inline constexpr auto kStopCheck = std::chrono::milliseconds(100);
}  // namespace gorvane::server
