// Asking the extension again: which failures are asked again, how often and
// how long. Time is the test's own.

#include <gtest/gtest.h>

#include <string>

#include "platform/fileprovider/Types.h"
#include "platform/fileprovider/linux/ExtensionDriver.h"
#include "platform/fileprovider/linux/Retry.h"
#include "platform/foundation/TransferError.h"
#include "tests/linux/FakeContentExtension.h"
#include "tests/linux/RetryTime.h"

namespace lumora::fuse {
namespace {

namespace fp = lumora::fileprovider;

const std::atomic<bool> running{false};

Error serverError() {
  return fp::fileProviderError(fp::kErrorServerUnreachable);
}

TEST(RetryTest, FailuresThatCanPassAreThoseOfTheWayNotOfTheAnswer) {
  EXPECT_TRUE(Retry::canPass(serverError()));  // the extension's word for a 5xx
  EXPECT_TRUE(Retry::canPass(transferError(TransferError::connectionLost, "dropped")));
  EXPECT_TRUE(Retry::canPass(transferError(TransferError::timedOut, "timed out")));
  EXPECT_TRUE(Retry::canPass(transferError(TransferError::couldNotConnect, "refused")));
  EXPECT_TRUE(Retry::canPass(Error{kDecodingErrorDomain, 1, "\"entries\" is missing"}));

  EXPECT_FALSE(Retry::canPass(fp::fileProviderError(fp::kErrorNotAuthenticated)));
  EXPECT_FALSE(Retry::canPass(fp::fileProviderError(fp::kErrorNoSuchItem)));
  EXPECT_FALSE(Retry::canPass(fp::fileProviderError(fp::kErrorVersionNoLongerAvailable)));
  EXPECT_FALSE(Retry::canPass(transferError(TransferError::tlsFailed, "bad certificate")));
  EXPECT_FALSE(Retry::canPass(posixError(ETIMEDOUT, "waited long enough")));
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

TEST(RetryTest, AnOutageIsFoundQuicklyThenPausesGrowAndEachRequestEndsWithinTheBound) {
  testing::RetryTime time;
  RetryLimits limits;
  auto retry = time.retry(limits);
  int attempts = 0;
  auto refused = [&]() -> Result<int> {
    ++attempts;
    return std::unexpected(transferError(TransferError::couldNotConnect, "refused"));
  };

  // While the service answered, its faults were taken for the way's.
  auto start = time.now();
  Result<int> first = retry->run(refused, running);
  ASSERT_FALSE(first.has_value());
  EXPECT_TRUE(isTransferError(first.error(), TransferError::couldNotConnect));
  EXPECT_EQ(attempts, limits.attempts);
  EXPECT_LE(time.now() - start, limits.attempts * limits.answeringMaxDelay);
  EXPECT_FALSE(retry->service().reachable());

  // Found down: longer, growing pauses, within the bound.
  attempts = 0;
  start = time.now();
  ASSERT_FALSE(retry->run(refused, running).has_value());
  auto outage = time.now() - start;
  EXPECT_LE(outage, limits.bound);
  EXPECT_GT(outage, 4 * limits.outageFirstDelay);
  EXPECT_GT(attempts, 3);

  // With attempts to spare, the bound ends it.
  RetryLimits endless = limits;
  endless.attempts = 1000;
  auto bounded = time.retry(endless);
  (void)bounded->run(refused, running);  // finds the service down
  start = time.now();
  attempts = 0;
  ASSERT_FALSE(bounded->run(refused, running).has_value());
  EXPECT_LE(time.now() - start, endless.bound);
  EXPECT_GT(time.now() - start, endless.bound - endless.maxDelay);
  EXPECT_LT(attempts, 40);
}

TEST(RetryTest, TheRequestsOfOneKernelRequestShareOneBound) {
  testing::RetryTime time;
  RetryLimits limits;
  limits.attempts = 1000;
  auto retry = time.retry(limits);
  auto refused = []() -> Result<int> {
    return std::unexpected(transferError(TransferError::couldNotConnect, "refused"));
  };
  (void)retry->run(refused, running);  // finds the service down
  // A listing renewed, then a fetch: each has a bound of its own...
  auto start = time.now();
  (void)retry->run(refused, running);
  (void)retry->run(refused, running);
  EXPECT_GT(time.now() - start, limits.bound);
  // ...unless they serve one kernel request.
  start = time.now();
  {
    RetryScope open;
    (void)retry->run(refused, running);
    EXPECT_FALSE(retry->run(refused, running).has_value());
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
