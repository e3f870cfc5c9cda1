// Asking the extension again: which failures are asked again, how often and
// how long. Time is the test's own.

#include <gtest/gtest.h>

#include <string>

#include "platform/fileprovider/Types.h"
#include "platform/fileprovider/linux/base/Errno.h"
#include "platform/fileprovider/linux/driver/ExtensionDriver.h"
#include "platform/fileprovider/linux/driver/Retry.h"
#include "platform/foundation/TransferError.h"
#include "tests/linux/FakeContentExtension.h"
#include "tests/linux/RetryTime.h"

namespace lumora::fuse {
namespace {

namespace fp = lumora::fileprovider;

const std::atomic<bool> running{false};

// The extension's answer to an HTTP status outside 2xx, the status beside it.
Error statusError(long status) {
  Error error = fp::fileProviderError(fp::kErrorServerUnreachable);
  error.cause.httpStatus = status;
  return error;
}
Error serverError() {
  return statusError(503);
}
Error refused() {
  return transferError(TransferError::couldNotConnect, "refused");
}

TEST(RetryTest, FailuresThatCanPassAreThoseOfTheWayAndTheServicesOwnFaults) {
  EXPECT_TRUE(Retry::canPass(serverError()));
  EXPECT_TRUE(Retry::canPass(statusError(500)));
  EXPECT_TRUE(Retry::canPass(statusError(429)));
  EXPECT_TRUE(Retry::canPass(transferError(TransferError::connectionLost, "dropped")));
  EXPECT_TRUE(Retry::canPass(transferError(TransferError::timedOut, "timed out")));
  EXPECT_TRUE(Retry::canPass(refused()));
  EXPECT_TRUE(Retry::canPass(Error{kDecodingErrorDomain, 1, "\"entries\" is missing"}));

  // The same code for a refusal: only the status behind it tells them apart.
  EXPECT_FALSE(Retry::canPass(statusError(401)));
  EXPECT_FALSE(Retry::canPass(statusError(403)));
  EXPECT_FALSE(Retry::canPass(statusError(404)));
  EXPECT_FALSE(Retry::canPass(fp::fileProviderError(fp::kErrorServerUnreachable)));
  EXPECT_FALSE(Retry::canPass(fp::fileProviderError(fp::kErrorNotAuthenticated)));
  EXPECT_FALSE(Retry::canPass(fp::fileProviderError(fp::kErrorNoSuchItem)));
  EXPECT_FALSE(Retry::canPass(fp::fileProviderError(fp::kErrorVersionNoLongerAvailable)));
  EXPECT_FALSE(Retry::canPass(transferError(TransferError::tlsFailed, "bad certificate")));
  EXPECT_FALSE(Retry::canPass(transferError(TransferError::unsupportedUrl, "redirect refused")));
  EXPECT_FALSE(Retry::canPass(posixError(ETIMEDOUT, "waited long enough")));

  // Only the way failing says the service is away; an answer, however bad,
  // and a local disk's refusal do not.
  EXPECT_TRUE(Retry::isSilence(refused()));
  EXPECT_FALSE(Retry::isSilence(transferError(TransferError::badResponse, "another range")));
  EXPECT_FALSE(Retry::isSilence(posixError(ENOSPC, "writing the download")));
}

TEST(RetryTest, AFailureThatPassesIsAnsweredAfterAShortPause) {
  testing::RetryTime time;
  auto retry = time.retry();
  int attempts = 0;
  Result<int> answer = retry->run(
      [&]() -> Result<int> {
        if (++attempts < 3) return std::unexpected(serverError());
        return 42;
      },
      running);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(*answer, 42);
  EXPECT_EQ(attempts, 3);
  EXPECT_EQ(time.pauses(), 2);
  // Full jitter under a doubling ceiling that starts low while the service
  // answers.
  RetryLimits limits;
  EXPECT_LE(time.elapsed(), limits.firstDelay + 2 * limits.firstDelay);
}

TEST(RetryTest, AStandingServerErrorIsAskedAFewTimesAndLeavesTheServiceReachable) {
  testing::RetryTime time;
  auto retry = time.retry();
  for (long status : {500L, 403L}) {
    int attempts = 0;
    Result<int> answer = retry->run(
        [&]() -> Result<int> {
          ++attempts;
          return std::unexpected(statusError(status));
        },
        running);
    ASSERT_FALSE(answer.has_value());
    EXPECT_EQ(attempts, status == 500 ? RetryLimits{}.answeredAttempts : 1) << status;
    EXPECT_FALSE(retry->away()) << status;
  }
}

TEST(RetryTest, ASilentServiceIsAwayAfterOneRequestThenRequestsFailAtOnceUntilAProbeAnswers) {
  testing::RetryTime time;
  RetryLimits limits;
  auto retry = time.retry(limits);
  int attempts = 0;
  auto silent = [&]() -> Result<int> {
    ++attempts;
    return std::unexpected(transferError(TransferError::timedOut, "no answer"));
  };
  // The request waited out the answer time: not asked again.
  ASSERT_FALSE(retry->run(silent, running).has_value());
  EXPECT_EQ(attempts, 1);
  EXPECT_TRUE(retry->away());

  // Away: failed at once, as an I/O error, without asking.
  auto away = retry->run(silent, running);
  ASSERT_FALSE(away.has_value());
  EXPECT_EQ(attempts, 1);
  EXPECT_EQ(away.error(), Retry::awayError());
  EXPECT_EQ(errnoForError(away.error()), EIO);

  // Probes, one at a time, with a growing pause between them.
  EXPECT_FALSE(retry->probeDue());
  time.sleep(limits.firstProbeDelay);
  EXPECT_TRUE(retry->probeDue());
  EXPECT_FALSE(retry->probeDue());
  retry->probed(false);
  time.sleep(limits.firstProbeDelay);
  EXPECT_FALSE(retry->probeDue());
  time.sleep(limits.firstProbeDelay);
  ASSERT_TRUE(retry->probeDue());
  retry->probed(true);
  EXPECT_FALSE(retry->away());
  EXPECT_TRUE(retry->run([] { return Result<int>(7); }, running).has_value());
}

TEST(RetryTest, ARefusedConnectionIsAskedAgainQuicklyThenTheServiceIsAway) {
  testing::RetryTime time;
  RetryLimits limits;
  auto retry = time.retry(limits);
  int attempts = 0;
  auto failing = [&]() -> Result<int> {
    ++attempts;
    return std::unexpected(refused());
  };
  ASSERT_FALSE(retry->run(failing, running).has_value());
  EXPECT_EQ(attempts, limits.attempts);
  EXPECT_LE(time.elapsed(), limits.attempts * limits.answeringMaxDelay);
  EXPECT_TRUE(retry->away());
}

TEST(RetryTest, ASignOutIsLoggedOnceAsSuchAndNotAsAnOutage) {
  testing::RetryTime time;
  auto retry = time.retry();
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 3; ++i) {
    (void)retry->run([]() -> Result<int> { return std::unexpected(statusError(401)); }, running);
  }
  std::string logged = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(retry->away());
  size_t first = logged.find("signed out");
  ASSERT_NE(first, std::string::npos) << logged;
  EXPECT_EQ(logged.find("signed out", first + 1), std::string::npos) << logged;
  EXPECT_EQ(logged.find("unreachable"), std::string::npos) << logged;
}

TEST(RetryTest, TheRequestsOfOneKernelRequestShareOneBound) {
  testing::RetryTime time;
  RetryLimits limits;
  limits.answeredAttempts = 1000;
  limits.firstDelay = limits.answeringMaxDelay = std::chrono::seconds(1);
  auto retry = time.retry(limits);
  auto failing = []() -> Result<int> { return std::unexpected(serverError()); };
  // A listing renewed, then a fetch: each has a bound of its own...
  auto start = time.now();
  (void)retry->run(failing, running);
  (void)retry->run(failing, running);
  EXPECT_GT(time.now() - start, limits.bound);
  // ...unless they serve one kernel request.
  start = time.now();
  {
    RetryScope open;
    (void)retry->run(failing, running);
    EXPECT_FALSE(retry->run(failing, running).has_value());
  }
  EXPECT_LE(time.now() - start, limits.bound);
}

TEST(RetryTest, AStoppedDomainAsksNoMore) {
  testing::RetryTime time;
  int attempts = 0;
  const std::atomic<bool> stopped{true};
  auto failing = [&]() -> Result<int> {
    ++attempts;
    return std::unexpected(serverError());
  };
  EXPECT_FALSE(time.retry()->run(failing, stopped).has_value());
  EXPECT_EQ(attempts, 1);
}

TEST(RetryTest, TheDriverAsksForALookUpAgainOnlyWhenItCanPass) {
  testing::RetryTime time;
  testing::FakeContentExtension extension;
  extension.setFile("mirror/a.txt", "a");
  ExtensionDriver driver{extension, time.retry()};

  extension.failLookups({serverError(), transferError(TransferError::connectionLost, "cut")});
  auto found = driver.item("mirror/a.txt");
  ASSERT_TRUE(found.has_value()) << found.error().description;
  EXPECT_EQ((*found)->itemIdentifier(), "mirror/a.txt");
  EXPECT_EQ(extension.lookups.load(), 3);

  extension.lookups = 0;
  auto missing = driver.item("mirror/none.txt");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().code, fp::kErrorNoSuchItem);
  EXPECT_EQ(extension.lookups.load(), 1);

  extension.lookups = 0;
  extension.failLookups({fp::fileProviderError(fp::kErrorNotAuthenticated)});
  auto signedOut = driver.item("mirror/a.txt");
  ASSERT_FALSE(signedOut.has_value());
  EXPECT_EQ(signedOut.error().code, fp::kErrorNotAuthenticated);
  EXPECT_EQ(extension.lookups.load(), 1);
}

}  // namespace
}  // namespace lumora::fuse
