#include "host/core/system/Timing.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <thread>

namespace lumora::host {

Timing Timing::real() {
  Timing timing;
  timing.sleep = [](std::chrono::nanoseconds duration) { std::this_thread::sleep_for(duration); };
  timing.pause = [](QObject* context, std::chrono::nanoseconds duration,
                    std::function<void()> then) {
    // A timer with a context is dropped when the context goes.
    QTimer::singleShot(std::chrono::duration_cast<std::chrono::milliseconds>(duration), context,
                       std::move(then));
  };
  return timing;
}

}  // namespace lumora::host
