#include "tools/devservice/Faults.h"

namespace lumora::devservice {

Fault FaultPlan::draw(bool api) {
  if (!inScope(api)) return Fault::none;
  double u = 0;
  {
    std::lock_guard guard(mutex_);
    u = std::uniform_real_distribution<double>(0.0, 1.0)(rng_);
  }
  // Consecutive slices of [0, 1), one per kind of fault.
  const double dropEdge = options_.drop;
  const double error500Edge = dropEdge + options_.error500;
  const double truncateEdge = error500Edge + options_.truncate;
  const double malformedEdge = truncateEdge + options_.malformed;
  if (u < dropEdge) return Fault::drop;
  if (u < error500Edge) return Fault::error500;
  if (u < truncateEdge) return Fault::truncate;
  if (u < malformedEdge) return api ? Fault::malformed : Fault::none;
  return Fault::none;
}

}  // namespace lumora::devservice
