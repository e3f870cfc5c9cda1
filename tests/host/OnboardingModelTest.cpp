// The sign-in flow with a fake tool and a clock that records its pauses.
#include <gtest/gtest.h>

#include <QSignalSpy>

#include "host/core/onboarding/OnboardingModel.h"
#include "tests/host/HostTestSupport.h"

namespace lumora::host {
namespace {
using namespace std::chrono_literals;
using Phase = OnboardingModel::Phase;
using testing::eventually;
using testing::HostFixture;
using testing::RecordingClock;

constexpr const char* kLoggingTool = R"(echo "lumora $*" >>"$LUMORA_TEST_LOG")";

class OnboardingModelTest : public ::testing::Test {
 protected:
  OnboardingModelTest() { fixture.writeTool(kLoggingTool); }
  void writeToken(const std::string& contents) {
    fixture.temp.write(".lumora/auth/token", contents);
  }
  std::vector<Phase> phases(const QSignalSpy& spy) {
    std::vector<Phase> result;
    for (const auto& arguments : spy) result.push_back(arguments.at(0).value<Phase>());
    return result;
  }

  HostFixture fixture;
  RecordingClock clock;
};

TEST_F(OnboardingModelTest, HasTokenReadsTheToolsTokenFile) {
  OnboardingModel model(fixture.environment(clock));
  EXPECT_FALSE(model.hasToken());
  writeToken(" \n\t\r\n");
  EXPECT_FALSE(model.hasToken());
  writeToken("\xff\xfe not utf-8");
  EXPECT_FALSE(model.hasToken());
  writeToken("tok-123\n");
  EXPECT_TRUE(model.hasToken());
  EXPECT_EQ(model.phase(), Phase::welcome);
}

TEST_F(OnboardingModelTest, PresentTokenIsFoundAtTheFirstTest) {
  writeToken("abc\n");
  OnboardingModel model(fixture.environment(clock));
  QSignalSpy changed(&model, &OnboardingModel::phaseChanged);
  model.signIn();
  EXPECT_EQ(phases(changed), (std::vector<Phase>{Phase::waiting, Phase::done}));
  EXPECT_TRUE(clock.pauses().empty());
  // The tool's "login" still ran, on its own thread.
  ASSERT_TRUE(eventually([&] { return testing::lines(fixture.log()).size() == 1; }));
  EXPECT_EQ(testing::lines(fixture.log())[0], "lumora login");
}

TEST_F(OnboardingModelTest, TokenWrittenByLoginEndsTheWatch) {
  // The tool signs in after a moment and leaves the token, as the real one does.
  fixture.writeTool(
      R"(sleep 0.1; mkdir -p "$HOME/.lumora/auth"; printf '  tok\n' >"$HOME/.lumora/auth/token")");
  RecordingClock slow;
  HostEnvironment environment = fixture.environment(slow);
  // Pauses of a real 20 ms, so the tool has time to write.
  environment.timing.pause = [base = slow.timing().pause](QObject* context,
                                                          std::chrono::nanoseconds d,
                                                          std::function<void()> then) {
    base(context, d, [] {});
    QTimer::singleShot(20, context, std::move(then));
  };
  OnboardingModel model(environment);
  QSignalSpy changed(&model, &OnboardingModel::phaseChanged);
  model.signIn();
  EXPECT_EQ(model.phase(), Phase::waiting);
  ASSERT_TRUE(eventually([&] { return model.phase() == Phase::done; }));
  EXPECT_FALSE(slow.pauses().empty());
  EXPECT_LT(slow.pauses().size(), 150u);
  EXPECT_EQ(phases(changed), (std::vector<Phase>{Phase::waiting, Phase::done}));
}

TEST_F(OnboardingModelTest, NoTokenMakes151TestsAndReturnsToWelcome) {
  fixture.writeTool("exit 1");  // a tool that fails at once changes nothing
  OnboardingModel model(fixture.environment(clock));
  QSignalSpy changed(&model, &OnboardingModel::phaseChanged);
  model.signIn();
  ASSERT_TRUE(eventually([&] { return model.phase() == Phase::welcome; }));
  EXPECT_EQ(clock.pauses(), std::vector<std::chrono::nanoseconds>(150, 2s));
  EXPECT_EQ(phases(changed), (std::vector<Phase>{Phase::waiting, Phase::welcome}));
}

TEST_F(OnboardingModelTest, MissingToolStillWatchesTheFullTime) {
  std::filesystem::remove(fixture.toolPath());
  OnboardingModel model(fixture.environment(clock));
  model.signIn();
  ASSERT_TRUE(eventually([&] { return model.phase() == Phase::welcome; }));
  EXPECT_EQ(clock.pauses().size(), 150u);
}

TEST_F(OnboardingModelTest, TokenArrivingInTheLastPauseCountsAtTheFinalTest) {
  HostEnvironment environment = fixture.environment(clock);
  int pauses = 0;
  auto base = environment.timing.pause;
  environment.timing.pause = [&, base](QObject* context, std::chrono::nanoseconds d,
                                       std::function<void()> then) {
    if (++pauses == 150) writeToken("late-token");
    base(context, d, std::move(then));
  };
  OnboardingModel model(environment);
  model.signIn();
  ASSERT_TRUE(eventually([&] { return model.phase() != Phase::waiting; }));
  EXPECT_EQ(model.phase(), Phase::done);
  EXPECT_EQ(pauses, 150);
}

TEST_F(OnboardingModelTest, TokenAfterSomePausesIsFoundAtTheNextTest) {
  HostEnvironment environment = fixture.environment(clock);
  int pauses = 0;
  auto base = environment.timing.pause;
  environment.timing.pause = [&, base](QObject* context, std::chrono::nanoseconds d,
                                       std::function<void()> then) {
    if (++pauses == 7) writeToken("tok");
    base(context, d, std::move(then));
  };
  OnboardingModel model(environment);
  model.signIn();
  ASSERT_TRUE(eventually([&] { return model.phase() == Phase::done; }));
  EXPECT_EQ(pauses, 7);
}

TEST_F(OnboardingModelTest, SignInAgainAfterTimeOutRunsLoginAgain) {
  OnboardingModel model(fixture.environment(clock));
  model.signIn();
  ASSERT_TRUE(eventually([&] { return model.phase() == Phase::welcome; }));
  model.signIn();
  EXPECT_EQ(model.phase(), Phase::waiting);
  ASSERT_TRUE(eventually([&] { return model.phase() == Phase::welcome; }));
  ASSERT_TRUE(eventually([&] { return testing::lines(fixture.log()).size() == 2; }));
  EXPECT_EQ(testing::lines(fixture.log()),
            (std::vector<std::string>{"lumora login", "lumora login"}));
  EXPECT_EQ(clock.pauses().size(), 300u);
}

}  // namespace
}  // namespace lumora::host
