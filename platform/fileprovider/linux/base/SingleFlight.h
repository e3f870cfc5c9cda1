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
    // The entry goes however the work ends, and waiters get its outcome:
    // an exception reaches them as it reaches this caller.
    struct Landing {
      SingleFlight& flight;
      const Key& key;
      ~Landing() {
        std::lock_guard lock(flight.mutex_);
        flight.flights_.erase(key);
      }
    };
    try {
      Value value = [&] {
        Landing landing{*this, key};
        return work();
      }();
      promise.set_value(value);
      return value;
    } catch (...) {
      promise.set_exception(std::current_exception());
      throw;
    }
  }

 private:
  std::mutex mutex_;
  std::map<Key, std::shared_future<Value>> flights_;  // protected by mutex_
};

}  // namespace lumora::fuse
