#include "tools/devservice/Faults.h"

namespace lumora::devservice {

Fault FaultPlan::draw(bool api) {
  if (!inScope(api)) return Fault::none;
  double u = 0;
  {
    std::lock_guard guard(mutex_);
    u = std::uniform_real_distribution<double>(0.0, 1.0)(rng_);
  }
  double edge = options_.drop;
  if (u < edge) return Fault::drop;
  if (u < (edge += options_.error500)) return Fault::error500;
  if (u < (edge += options_.truncate)) return Fault::truncate;
  if (u < (edge += options_.malformed)) return api ? Fault::malformed : Fault::none;
  return Fault::none;
}

}  // namespace lumora::devservice
