#pragma once
// Concurrent callers for one key share one piece of work: the first runs it,
// the others wait for its value.

#include <functional>
#include <future>
#include <map>
#include <mutex>

namespace lumora::fuse {

template <class Key, class Value>
class SingleFlight {
 public:
  Value run(const Key& key, const std::function<Value()>& work) {
    std::promise<Value> promise;
    {
      std::unique_lock lock(mutex_);
      auto running = flights_.find(key);
      if (running != flights_.end()) {
        std::shared_future<Value> shared = running->second;
        lock.unlock();
        return shared.get();
      }
      flights_.emplace(key, promise.get_future().share());
    }
    Value value = work();
    {
      std::lock_guard lock(mutex_);
      flights_.erase(key);
    }
    promise.set_value(value);
    return value;
  }

 private:
  std::mutex mutex_;
  std::map<Key, std::shared_future<Value>> flights_;  // protected by mutex_
};

}  // namespace lumora::fuse
