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
  // Full jitter under a doubling ceiling: the two pauses stay below 20 + 40 ms.
  EXPECT_LE(time.elapsed(), milliseconds(60));
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

TEST(RetryTest, AnOutageEndsEachRequestWithinTheBoundWithTheLastError) {
  testing::RetryTime time;
  RetryLimits limits;
  limits.attempts = 100;  // so that the bound, not the count, ends it
  auto retry = time.retry(limits);
  int attempts = 0;
  auto start = time.now();
  Result<int> answer = retry->run(
      [&]() -> Result<int> {
        ++attempts;
        return std::unexpected(transferError(TransferError::couldNotConnect, "refused"));
      },
      running);
  ASSERT_FALSE(answer.has_value());
  EXPECT_TRUE(isTransferError(answer.error(), TransferError::couldNotConnect));
  EXPECT_LE(time.now() - start, limits.bound);
  // The backoff grew: far fewer attempts than the bound holds first delays.
  EXPECT_GT(attempts, 3);
  EXPECT_LT(attempts, 30);
  EXPECT_FALSE(retry->service().reachable());
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
