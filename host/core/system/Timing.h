#pragma once
// Every wait of the host's models goes through one of these, so tests can
// run the 2 s, 1.2 s and 4 s waits without waiting.

#include <chrono>
#include <functional>

class QObject;

namespace lumora::host {

struct Timing {
  // Blocks the calling background thread for the given time.
  std::function<void(std::chrono::nanoseconds)> sleep;
  // Calls `then` on `context`'s thread once the time has passed, without
  // blocking; nothing is called when `context` is gone by then.
  std::function<void(QObject* context, std::chrono::nanoseconds, std::function<void()> then)> pause;

  // Real clocks: std::this_thread::sleep_for and a single-shot QTimer.
  static Timing real();
};

}  // namespace lumora::host
