#pragma once
// Fault injection for tests and benchmarks: each request under the fault
// scope draws at most one fault from a seeded generator, so a run with the
// same seed and the same request order sees the same faults.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>

namespace lumora::devservice {

enum class FaultScope { all, api, objects };

struct FaultOptions {
  // Shares of requests, each in [0, 1], summing to at most 1.
  double drop = 0;                       // connection closed without an answer
  double error500 = 0;                   // a 500 answer
  double truncate = 0;                   // the body stops halfway, then the connection closes
  double malformed = 0;                  // a 200 answer whose JSON does not parse (API only)
  std::chrono::milliseconds latency{0};  // added before every answer in scope
  std::uint64_t seed = 1;
  FaultScope scope = FaultScope::all;
};

enum class Fault { none, drop, error500, truncate, malformed };

class FaultPlan {
 public:
  explicit FaultPlan(const FaultOptions& options) : options_(options), rng_(options.seed) {}

  bool inScope(bool api) const {
    return options_.scope == FaultScope::all || (api == (options_.scope == FaultScope::api));
  }
  std::chrono::milliseconds latency(bool api) const {
    return inScope(api) ? options_.latency : std::chrono::milliseconds(0);
  }
  // Draws the fault of one request; objects never get malformed JSON.
  Fault draw(bool api);

 private:
  const FaultOptions options_;
  std::mutex mutex_;
  std::mt19937_64 rng_;  // guarded by mutex_
};

}  // namespace lumora::devservice
