#include "platform/fileprovider/linux/driver/Retry.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <thread>

#include "platform/fileprovider/Types.h"
#include "platform/fileprovider/linux/base/Log.h"
#include "platform/foundation/TransferError.h"

namespace lumora::fuse {

namespace fp = lumora::fileprovider;

namespace {

// The RetryScope this thread is in, if any; the deadline once a request in
// it has begun.
struct ScopeState {
  int depth = 0;
  std::optional<std::chrono::steady_clock::time_point> deadline;
};
thread_local ScopeState scope;

}  // namespace

RetryScope::RetryScope() {
  if (scope.depth++ == 0) scope.deadline.reset();
}

RetryScope::~RetryScope() {
  if (--scope.depth == 0) scope.deadline.reset();
}

void ServiceState::answered(bool accepted) {
  if (!reachable_.exchange(true)) log("the service is reachable again");
  if (accepted && signedOut_.exchange(false)) log("the service accepts the account again");
}

void ServiceState::signedOut() {
  if (!signedOut_.exchange(true)) {
    log("the service refuses the account's token: signed out; sign in again to read files");
  }
}

void ServiceState::unreachable(const Error& last) {
  // Only the domain and code: a description may carry a signed URL.
  if (reachable_.exchange(false)) {
    log("the service is unreachable (%s %ld); requests fail until it is back", last.domain.c_str(),
        last.code);
  }
}

Retry::Retry(RetryLimits limits, Now now, Sleep sleep, uint64_t seed)
    : limits_(limits), now_(std::move(now)), sleep_(std::move(sleep)), random_(seed) {}

bool Retry::canPass(const Error& error) {
  if (error.domain == kFileProviderErrorDomain) {
    // The extension's answer for any status outside 2xx: only a fault of
    // the service's own (5xx), a time-out or a request to slow down may
    // pass; 401, 403, 404 stay as they are. Without a status it is a
    // refusal of the extension's own (an unusable URL, the service away).
    long status = error.cause.httpStatus;
    return error.code == fp::kErrorServerUnreachable &&
           (status >= 500 || status == 408 || status == 429);
  }
  if (error.domain == kTransferErrorDomain) {
    switch (static_cast<TransferError>(error.code)) {
      case TransferError::tlsFailed:       // a refused certificate stays refused
      case TransferError::tooLarge:        // the same body is as large again
      case TransferError::unsupportedUrl:  // and the same URL as unusable
        return false;
      default:
        return true;  // dropped, cut short, timed out, not connected
    }
  }
  // A body that does not decode was most likely cut or garbled on the way.
  if (error.domain == kDecodingErrorDomain) return true;
  // Our own errors (a wait given up, a full disk, a stopped transfer).
  return false;
}

namespace {

// No answer came within the time allowed for one: the host's (a transfer
// time-out) or the extension's (the driver's bound).
bool answerTimedOut(const Error& error) {
  return isTransferError(error, TransferError::timedOut) ||
         (error.domain == kPosixErrorDomain && error.code == ETIMEDOUT);
}

}  // namespace

bool Retry::isSilence(const Error& error) {
  // An answer that breaks the protocol (a range other than asked) came
  // from the host all the same: no sign that the service is away.
  if (isTransferError(error, TransferError::badResponse)) return false;
  if (error.domain == kTransferErrorDomain) return canPass(error);
  return answerTimedOut(error);
}

Error Retry::awayError() {
  return Error{kFileProviderErrorDomain, fp::kErrorServerUnreachable,
               "The service does not answer; it is asked again now and then."};
}

bool Retry::probeDue() {
  std::lock_guard lock(mutex_);
  if (!away() || probing_ || now_() < nextProbe_) return false;
  probing_ = true;
  return true;
}

void Retry::probed(bool answered) {
  std::lock_guard lock(mutex_);
  probing_ = false;
  if (answered) {
    service_.answered(false);
    return;
  }
  probeDelay_ =
      std::min<std::chrono::steady_clock::duration>(probeDelay_ * 2, limits_.maxProbeDelay);
  nextProbe_ = now_() + probeDelay_;
}

void Retry::wentAway(const Error& last) {
  {
    std::lock_guard lock(mutex_);
    if (away()) return;
    probeDelay_ = limits_.firstProbeDelay;
    nextProbe_ = now_() + probeDelay_;
  }
  service_.unreachable(last);
}

void Retry::noteAnswer(const Error& error) {
  if (error.domain != kFileProviderErrorDomain) return;
  // A status came, or a look-up that found nothing: the service is there.
  // Not an error of the extension's own (no token, the service away).
  if (error.cause.httpStatus != 0 || error.code == fp::kErrorNoSuchItem ||
      error.code == fp::kErrorVersionNoLongerAvailable) {
    service_.answered(false);
  }
  if (error.cause.httpStatus == 401) service_.signedOut();
}

Retry::Attempts Retry::begin() const {
  auto deadline = now_() + limits_.bound;
  if (scope.depth == 0) return Attempts{deadline, 0};
  if (!scope.deadline) scope.deadline = deadline;
  return Attempts{*scope.deadline, 0};
}

std::chrono::steady_clock::duration Retry::pause(int made) {
  bool answering = service_.reachable();
  auto ceiling = answering ? limits_.firstDelay : limits_.outageFirstDelay;
  auto most = answering ? limits_.answeringMaxDelay : limits_.maxDelay;
  for (int i = 1; i < made && ceiling < most; ++i) ceiling *= 2;
  ceiling = std::min(ceiling, most);
  // Full jitter: anywhere up to the ceiling, so that readers failed by one
  // fault do not come back all at once.
  std::lock_guard lock(mutex_);
  std::uniform_int_distribution<int64_t> draw(0, ceiling.count());
  return std::chrono::steady_clock::duration(draw(random_));
}

void Retry::sleepFor(std::chrono::steady_clock::duration length, const std::atomic<bool>& stopped) {
  if (sleep_) {
    sleep_(length);
    return;
  }
  // In slices, so that a domain being stopped is not held up.
  constexpr auto kSlice = std::chrono::milliseconds(50);
  auto until = now_() + length;
  for (auto left = length; left > left.zero() && !stopped.load(); left = until - now_()) {
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, kSlice));
  }
}

bool Retry::again(Attempts& attempts, const Error& error, const std::atomic<bool>& stopped) {
  ++attempts.made;
  if (stopped.load()) return false;
  // A request that waited out the whole time allowed for an answer has
  // found the service silent: asking again would only make its reader wait
  // as long again.
  if (answerTimedOut(error)) {
    wentAway(error);
    return false;
  }
  if (!canPass(error)) {
    noteAnswer(error);
    return false;
  }
  bool silence = isSilence(error);
  if (!silence) service_.answered(false);  // a 5xx, or a garbled body: it answers
  attempts.answeredInARow = error.cause.httpStatus != 0 ? attempts.answeredInARow + 1 : 0;
  auto wait = pause(attempts.made);
  if (attempts.made >= limits_.attempts || attempts.answeredInARow >= limits_.answeredAttempts ||
      now_() + wait >= attempts.deadline) {
    if (silence) wentAway(error);
    return false;
  }
  sleepFor(wait, stopped);
  return !stopped.load() && now_() < attempts.deadline;
}

}  // namespace lumora::fuse
