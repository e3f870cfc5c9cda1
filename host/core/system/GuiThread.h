#pragma once
// The one way the host's background work hands its results to the GUI
// thread: a queued call that runs only while the receiving object lives.
// The guard is made and read on the GUI thread; the background thread only
// carries it.

#include <QCoreApplication>
#include <QPointer>

#include <utility>

#include "platform/foundation/Executor.h"

namespace lumora::host {

// A callable for any thread: calling it with results queues
// `then(object, results...)` onto the GUI thread, where it runs unless
// `object` is gone by then. Make it on the GUI thread.
template <class Object, class Then>
auto onGuiThread(Object* object, Then then) {
  return [guard = QPointer<Object>(object), then = std::move(then)](auto... results) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [guard, then, ... results = std::move(results)]() mutable {
          if (guard) then(guard.data(), std::move(results)...);
        },
        Qt::QueuedConnection);
  };
}

// Runs `work` on the shared executor and hands what it returns to
// `publish(object, result)` on the GUI thread, as above.
template <class Object, class Work, class Publish>
void inBackground(Object* object, Work work, Publish publish) {
  runDetached([work = std::move(work), done = onGuiThread(object, std::move(publish))]() mutable {
    done(work());
  });
}

}  // namespace lumora::host
