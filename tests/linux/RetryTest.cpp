// Asking the extension again: which failures are asked again, how often and
// how long, and what the log says of an outage. Time is the test's own.

#include <gtest/gtest.h>

#include <string>

#include "platform/fileprovider/Types.h"
#include "platform/fileprovider/linux/ExtensionDriver.h"
#include "platform/fileprovider/linux/Log.h"
#include "platform/fileprovider/linux/Retry.h"
#include "platform/foundation/TransferError.h"
#include "tests/linux/FakeContentExtension.h"
#include "tests/linux/RetryTime.h"

namespace lumora::fuse {
namespace {

namespace fp = lumora::fileprovider;
using std::chrono::milliseconds;

const std::atomic<bool> running{false};

Error serverError() {
  return fp::fileProviderError(fp::kErrorServerUnreachable);
}

size_t count(const std::string& text, const std::string& part) {
  size_t found = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
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

TEST(RetryTest, NotSignedInNoSuchItemAndAVersionGoneAreNotAskedAgain) {
  testing::RetryTime time;
  auto retry = time.retry();
  for (long code :
       {fp::kErrorNotAuthenticated, fp::kErrorNoSuchItem, fp::kErrorVersionNoLongerAvailable}) {
    int attempts = 0;
    Result<int> answer = retry->run(
        [&]() -> Result<int> {
          ++attempts;
          return std::unexpected(fp::fileProviderError(code));
        },
        running);
    ASSERT_FALSE(answer.has_value());
    EXPECT_EQ(answer.error().code, code);
    EXPECT_EQ(attempts, 1) << code;
  }
  EXPECT_EQ(time.pauses(), 0);
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

TEST(RetryTest, TheAttemptsAreCountedAndAStoppedDomainAsksNoMore) {
  testing::RetryTime time;
  auto retry = time.retry();
  int attempts = 0;
  auto failing = [&]() -> Result<int> {
    ++attempts;
    return std::unexpected(serverError());
  };
  EXPECT_FALSE(retry->run(failing, running).has_value());
  EXPECT_EQ(attempts, retry->limits().attempts);

  attempts = 0;
  const std::atomic<bool> stopped{true};
  EXPECT_FALSE(retry->run(failing, stopped).has_value());
  EXPECT_EQ(attempts, 1);
}

TEST(RetryTest, TheLogSaysOnceThatTheServiceIsGoneAndOnceThatItIsBack) {
  testing::RetryTime time;
  auto retry = time.retry();
  setLogEnabled(true);
  ::testing::internal::CaptureStderr();
  auto failing = [&]() -> Result<int> { return std::unexpected(serverError()); };
  for (int i = 0; i < 20; ++i) (void)retry->run(failing, running);
  for (int i = 0; i < 5; ++i) (void)retry->run([]() -> Result<int> { return 1; }, running);
  for (int i = 0; i < 5; ++i) (void)retry->run(failing, running);
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(count(log, "the service is unreachable"), 2u) << log;
  EXPECT_EQ(count(log, "the service is reachable again"), 1u) << log;
  EXPECT_EQ(log.find("secret"), std::string::npos);
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
