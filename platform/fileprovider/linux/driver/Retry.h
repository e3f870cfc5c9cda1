#pragma once
// Asking the extension again. The extension makes one request per call and
// retries nothing, so a dropped connection, a 5xx or a body cut short would
// reach the reader as EIO although a second try would pass. The daemon asks
// again for such failures: a few attempts, exponential backoff with full
// jitter, and a total bound per request so that nothing waits long while
// the service is away. Failures that a second try cannot change (not signed
// in, no such item, a version gone, a refusal, any 4xx) are answered at once.
//
// Only the way failing (no connection, a dropped one, no answer in time)
// makes the service count as away; a status, even a 5xx, is an answer. Once
// away, requests fail at once rather than each waiting out a silent
// service, and a probe, itself paced by a growing backoff, notices its
// return.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>

#include "platform/foundation/Error.h"

namespace lumora::fuse {

// A whole fetch is three requests (look-up, download URL, object), so a
// fault in three out of ten requests fails about six attempts in ten: it
// takes a dozen or so to pass nearly always.
//
// Pauses double from a first delay up to a ceiling, each drawn anywhere
// below it (full jitter). While the service answers, a fault is most likely
// the way's (a dropped connection, a cut body) and the next attempt soon
// passes: the pauses stay a few milliseconds, so that faults cost a reader
// little. Once a request has found the service unreachable, pauses start
// longer and grow to maxDelay, so that readers do not hammer a service that
// is down; the bound ends each request in a few seconds all the same.
struct RetryLimits {
  using Duration = std::chrono::steady_clock::duration;
  int attempts = 14;  // the first one included
  // 5xx answers in a row: the service answers, so a few tell a standing
  // fault (a folder the store cannot list) from passing ones; enough that a
  // whole fetch passes a fault in two of its three requests.
  int answeredAttempts = 5;
  Duration firstDelay = std::chrono::microseconds(250);
  Duration answeringMaxDelay = std::chrono::milliseconds(4);
  Duration outageFirstDelay = std::chrono::milliseconds(50);
  Duration maxDelay = std::chrono::milliseconds(500);
  // From the first attempt: no attempt starts, and no pause ends, later.
  Duration bound = std::chrono::seconds(5);
  // While the service is away: from the time it was found so until the
  // first probe, doubling after each probe that finds it still away. The
  // cap is what a user back online may wait before files open again: a
  // probe that finds no route costs nothing, so it stays short.
  Duration firstProbeDelay = std::chrono::seconds(1);
  Duration maxProbeDelay = std::chrono::seconds(10);
};

// Whether the service answers, as the last requests found it. The log
// hears of it only when that changes, not once per failed request.
class ServiceState {
 public:
  // `accepted`: the answer was a success, which also ends a sign-out.
  void answered(bool accepted);
  void unreachable(const Error& last);
  // The service refused the account's token (401): logged once, as what it
  // is, until a request succeeds again.
  void signedOut();
  bool reachable() const { return reachable_.load(); }

 private:
  std::atomic<bool> reachable_{true};
  std::atomic<bool> signedOut_{false};
};

// The work of one kernel request on this thread: the requests it makes of
// the extension share one bound, so that an open that renews a listing and
// then fetches does not wait for two.
class RetryScope {
 public:
  RetryScope();
  ~RetryScope();
  RetryScope(const RetryScope&) = delete;
  RetryScope& operator=(const RetryScope&) = delete;
};

class Retry {
 public:
  using Now = std::function<std::chrono::steady_clock::time_point()>;
  // Pauses for the given time; may return early. Tests pass one that only
  // moves their clock on.
  using Sleep = std::function<void(std::chrono::steady_clock::duration)>;

  explicit Retry(RetryLimits limits = {}, Now now = std::chrono::steady_clock::now,
                 Sleep sleep = nullptr, uint64_t seed = std::random_device{}());

  // Whether a second try may pass where this failure came.
  static bool canPass(const Error& error);
  // Whether this failure says the way to the service failed or it did not
  // answer in time, as opposed to an answer of the service.
  static bool isSilence(const Error& error);
  // What a request gets while the service is away, without being asked.
  static Error awayError();

  // One request's attempts so far. Within a RetryScope, the deadline is
  // the one its first request set.
  struct Attempts {
    std::chrono::steady_clock::time_point deadline;
    int made = 0;
    int answeredInARow = 0;  // failed attempts in a row that were 5xx answers
  };
  Attempts begin() const;
  // After a failed attempt: pauses and says true when another is worth
  // making; false when the failure is final, the attempts or the time are
  // spent, or `stopped` is set.
  bool again(Attempts& attempts, const Error& error, const std::atomic<bool>& stopped);
  // After an attempt that succeeded.
  void succeeded() { service_.answered(true); }

  // Whether the service counts as away: requests then fail at once.
  bool away() const { return !service_.reachable(); }
  // While away: true for the one caller that is to probe now; it calls
  // probed() with what it found.
  bool probeDue();
  // `answered`: the probe got an answer of the service (any status).
  void probed(bool answered);

  // Runs `attempt` (returning a Result) until it succeeds or again() says
  // no; while the service is away, not at all.
  template <class Attempt>
  auto run(Attempt&& attempt, const std::atomic<bool>& stopped) -> decltype(attempt()) {
    if (away()) return std::unexpected(awayError());
    Attempts attempts = begin();
    for (;;) {
      auto result = attempt();
      if (result) {
        succeeded();
        return result;
      }
      if (!again(attempts, result.error(), stopped)) return result;
    }
  }

  const RetryLimits& limits() const { return limits_; }
  const ServiceState& service() const { return service_; }

 private:
  std::chrono::steady_clock::duration pause(int made);
  void sleepFor(std::chrono::steady_clock::duration pause, const std::atomic<bool>& stopped);
  // The service found away by `last`; the probes start over.
  void wentAway(const Error& last);
  // A final answer of the service (not a failure of the way).
  void noteAnswer(const Error& error);

  const RetryLimits limits_;
  const Now now_;
  const Sleep sleep_;
  ServiceState service_;
  std::mutex mutex_;
  std::mt19937_64 random_;                            // protected by mutex_
  std::chrono::steady_clock::time_point nextProbe_;   // protected by mutex_
  std::chrono::steady_clock::duration probeDelay_{};  // protected by mutex_
  bool probing_ = false;                              // protected by mutex_
};

}  // namespace lumora::fuse
