// Checkpoints against a fake tool that keeps its checkpoints in a file.
#include <gtest/gtest.h>

#include <QSignalSpy>

#include "host/core/controlplane/SnapshotModel.h"
#include "tests/host/HostTestSupport.h"

namespace lumora::host {
namespace {
namespace fs = std::filesystem;
using testing::eventually;
using testing::HostFixture;
using testing::RecordingClock;

// "snapshot list" prints the stored table; "create" appends a row (and
// fails when $HOME/fail-create exists); "restore" logs its one id argument
// and fails for ids it does not know.
constexpr const char* kFakeTool = R"(db="$HOME/snapshots.txt"
printf '%s\n' "$#:$*" >>"$LUMORA_TEST_LOG"
case "$1 $2" in
  "snapshot list")
    if [ -s "$db" ]; then echo "ID        CREATED   SIZE  NAME"; cat "$db"; else echo "no snapshots yet"; fi ;;
  "snapshot create")
    [ -e "$HOME/fail-create" ] && { echo "busy, queued" >&2; exit 2; }
    n=$(($(wc -l <"$db" 2>/dev/null || echo 0) + 1))
    echo "snap-$n  2024-06-0${n}  ${n}G  $4 checkpoint" >>"$db" ;;
  "snapshot restore")
    printf '%s' "$3" >"$HOME/restored-id"
    grep -q -F -- "$3 " "$db" 2>/dev/null || exit 1 ;;
esac)";

class SnapshotModelTest : public ::testing::Test {
 protected:
  SnapshotModelTest() { fixture.writeTool(kFakeTool); }

  // Every published change, in order, with the value it published.
  void record(SnapshotModel& model) {
    QObject::connect(&model, &SnapshotModel::busyChanged, &model,
                     [&] { events.push_back(model.busy() ? "busy" : "idle"); });
    QObject::connect(&model, &SnapshotModel::messageChanged, &model,
                     [&] { events.push_back("message:" + model.message().toStdString()); });
    QObject::connect(&model, &SnapshotModel::itemsChanged, &model,
                     [&] { events.push_back("items:" + std::to_string(model.items().size())); });
  }

  HostFixture fixture;
  RecordingClock clock;
  std::vector<std::string> events;
};

TEST_F(SnapshotModelTest, RefreshListsInTheToolsOrder) {
  std::ofstream(fixture.home() / "snapshots.txt")
      << "a1 2024-01-01 3G\nb2 2024-02-02 4G before trip\n";
  SnapshotModel model(fixture.environment(clock));
  QSignalSpy listed(&model, &SnapshotModel::listingFinished);
  model.refresh();
  EXPECT_TRUE(model.items().isEmpty());  // not before the listing completes
  ASSERT_TRUE(listed.wait(20000));
  ASSERT_EQ(model.items().size(), 2);
  EXPECT_EQ(model.items()[0].name, QStringLiteral("snapshot"));
  EXPECT_EQ(model.items()[1].id, QStringLiteral("b2"));
  EXPECT_EQ(model.items()[1].name, QStringLiteral("before trip"));
  EXPECT_FALSE(model.busy());
  EXPECT_TRUE(model.message().isEmpty());
}

TEST_F(SnapshotModelTest, SaveReportsThenListsAgain) {
  SnapshotModel model(fixture.environment(clock));
  record(model);
  model.save();
  EXPECT_TRUE(model.busy());
  EXPECT_EQ(model.message(), QStringLiteral("Saving a checkpoint of your machine…"));
  ASSERT_TRUE(eventually([&] { return model.items().size() == 1; }));
  EXPECT_EQ(model.items()[0].id, QStringLiteral("snap-1"));
  EXPECT_EQ(model.items()[0].name, QStringLiteral("manual checkpoint"));
  EXPECT_EQ(events,
            (std::vector<std::string>{"busy", "message:Saving a checkpoint of your machine…",
                                      "idle", "message:Checkpoint saved.", "items:1"}));
  EXPECT_EQ(testing::lines(fixture.log()),
            (std::vector<std::string>{"4:snapshot create --name manual", "2:snapshot list"}));
}

TEST_F(SnapshotModelTest, FailedSaveIsNotAnErrorAndStillLists) {
  std::ofstream(fixture.home() / "fail-create").flush();
  std::ofstream(fixture.home() / "snapshots.txt") << "old 2023-12-31 1G\n";
  SnapshotModel model(fixture.environment(clock));
  QSignalSpy listed(&model, &SnapshotModel::listingFinished);
  model.save();
  ASSERT_TRUE(listed.wait(20000));
  EXPECT_FALSE(model.busy());
  EXPECT_EQ(model.message(), QStringLiteral("Save started in the background."));
  ASSERT_EQ(model.items().size(), 1);
  EXPECT_EQ(model.items()[0].id, QStringLiteral("old"));
}

TEST_F(SnapshotModelTest, RestorePassesAHostileIdAsOneLiteralWord) {
  const QString id = QStringLiteral("x;touch${IFS}pwned;$(touch${IFS}pwned2)'\"`id`");
  std::ofstream(fixture.home() / "snapshots.txt") << id.toStdString() << " 2024-03-03 2G\n";
  SnapshotModel model(fixture.environment(clock));
  record(model);
  SnapshotItem item{id, QStringLiteral("2024-03-03"), QStringLiteral("2G"),
                    QStringLiteral("my “odd” name")};
  model.restore(item);
  const QString bringing = QStringLiteral(
      "Bringing back “my “odd” name” — restored files land side-by-side, nothing is overwritten.");
  EXPECT_TRUE(model.busy());
  EXPECT_EQ(model.message(), bringing);
  ASSERT_TRUE(eventually([&] { return !model.busy(); }));
  EXPECT_EQ(model.message(), QStringLiteral("Restored — look for a .restored copy in your files."));
  EXPECT_EQ(testing::slurp(fixture.home() / "restored-id"), id.toStdString());
  EXPECT_EQ(testing::lines(fixture.log()),
            std::vector<std::string>{"3:snapshot restore " + id.toStdString()});
  EXPECT_FALSE(fs::exists(fixture.home() / "pwned"));
  EXPECT_FALSE(fs::exists(fixture.home() / "pwned2"));
  EXPECT_FALSE(fs::exists(fs::current_path() / "pwned"));
  // A restore lists nothing afterwards.
  QTest::qWait(100);
  EXPECT_EQ(events, (std::vector<std::string>{
                        "busy", "message:" + bringing.toStdString(), "idle",
                        "message:Restored — look for a .restored copy in your files."}));
}

TEST_F(SnapshotModelTest, FailedRestoreSaysSo) {
  SnapshotModel model(fixture.environment(clock));
  model.restore(SnapshotItem{QStringLiteral("gone"), QStringLiteral("-"), QStringLiteral("-"),
                             QStringLiteral("snapshot")});
  ASSERT_TRUE(eventually([&] { return !model.busy(); }));
  EXPECT_EQ(model.message(), QStringLiteral("Restore failed — check Lumora is signed in."));
}

TEST_F(SnapshotModelTest, ModelGoneBeforeTheToolEndsIsSafe) {
  fixture.writeTool("sleep 0.2; echo 'a b c'");
  auto model = std::make_unique<SnapshotModel>(fixture.environment(clock));
  model->refresh();
  model.reset();
  // The listing ends after the model went; nothing may touch it.
  QTest::qWait(600);
  SnapshotModel other(fixture.environment(clock));
  QSignalSpy listed(&other, &SnapshotModel::listingFinished);
  other.refresh();
  ASSERT_TRUE(listed.wait(20000));
  EXPECT_EQ(other.items().size(), 1);
}

}  // namespace
}  // namespace lumora::host
