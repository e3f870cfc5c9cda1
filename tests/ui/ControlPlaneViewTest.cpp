// The control plane with the real models and fake tools: switch rows off, on
// and busy, the checkpoint card with and without a message, busy buttons, and
// the restore sheet empty and with items.

#include <gtest/gtest.h>

#include <QScrollArea>
#include <QSignalSpy>
#include <QTest>

#include "host/ui/controlplane/ControlPlaneView.h"
#include "host/ui/controlplane/GoBackSheet.h"
#include "host/ui/controlplane/PillarRow.h"
#include "host/ui/controlplane/SnapshotCard.h"
#include "host/ui/widgets/ActionButton.h"
#include "host/ui/widgets/Shapes.h"
#include "host/ui/widgets/Style.h"
#include "host/ui/widgets/SwitchControl.h"
#include "tests/ui/UiFixture.h"

namespace lumora::ui {
namespace {

using testing::sameColor;
const QColor kGreenColor(0x34, 0xC7, 0x59);

void expectSecondaryAt(const QColor& color, const QWidget& widget, double opacity) {
  QColor expected = widget.window()->palette().color(QPalette::WindowText);
  expected.setAlphaF(static_cast<float>(0.55 * opacity));
  EXPECT_TRUE(sameColor(color, expected)) << color.name(QColor::HexArgb).toStdString();
}

class ControlPlaneViewTest : public ::testing::Test {
 protected:
  void makeView(host::Timing timing) {
    view = std::make_unique<ControlPlaneView>(tools.environment(std::move(timing)),
                                              QStringLiteral("Studio"));
  }
  void showAndList() {
    QSignalSpy listed(&view->snaps(), &host::SnapshotModel::listingFinished);
    view->show();
    ASSERT_TRUE(listed.wait(5000));
  }

  testing::FakeTools tools;
  std::unique_ptr<ControlPlaneView> view;
};

TEST_F(ControlPlaneViewTest, AllOffShowsFourGreyRowsAndTheCardWithoutAMessage) {
  makeView(testing::instantTiming());
  EXPECT_TRUE(view->rows().isEmpty());  // nothing detected before it is shown
  showAndList();
  EXPECT_EQ(view->width(), 460);
  EXPECT_EQ(view->headerLabel()->text(), QStringLiteral("LUMORA CONTROL PLANE"));
  EXPECT_EQ(view->headerLabel()->font().pixelSize(), 12);
  EXPECT_NEAR(view->headerLabel()->font().letterSpacing(), 1.2, 0.05);  // kept in 1/64 px
  EXPECT_EQ(view->hostLabel()->text(), QStringLiteral("Studio"));
  EXPECT_EQ(view->hostLabel()->role(), Foreground::Tertiary);

  const auto rows = view->rows();
  ASSERT_EQ(rows.size(), 4);
  const QStringList ids{"disk", "memory", "compute", "gpu"};
  for (int i = 0; i < 4; ++i) {
    PillarRow* row = rows[i];
    EXPECT_EQ(row->pillar().id, ids[i]);
    EXPECT_FALSE(row->switchControl()->isOn());
    EXPECT_TRUE(row->switchControl()->isEnabled());
    EXPECT_DOUBLE_EQ(row->switchOpacity(), 1.0);
    EXPECT_EQ(row->statusPill()->text(), QStringLiteral("off"));
    expectSecondaryAt(row->statusPill()->textColor(), *row, 1.0);
    expectSecondaryAt(row->statusPill()->outlineColor(), *row, 0.3);
    expectSecondaryAt(row->outline(), *row, 0.15);
    EXPECT_TRUE(sameColor(row->fill(), QColor(0, 0, 0, 64)));
    EXPECT_EQ(row->titleLabel()->font().pixelSize(), 17);
    EXPECT_EQ(row->detailLabel()->role(), Foreground::Secondary);
    // The row fits the window: nothing pushes it wider than 412.
    EXPECT_EQ(row->width(), 412);
  }
  EXPECT_EQ(rows[0]->titleLabel()->text(), QStringLiteral("Disk expansion"));
  EXPECT_EQ(rows[1]->detailLabel()->text(),
            QStringLiteral("frees 1–4 GB by pausing apps you're not using"));

  SnapshotCard* card = view->card();
  EXPECT_EQ(card->visibleRowCount(), 2);
  EXPECT_TRUE(card->messageLabel()->isHidden());
  EXPECT_TRUE(card->saveButton()->isEnabled());
  EXPECT_TRUE(card->goBackButton()->isEnabled());
  EXPECT_EQ(card->saveButton()->kind(), ActionButton::Kind::Prominent);
  EXPECT_EQ(card->goBackButton()->kind(), ActionButton::Kind::Bordered);
  EXPECT_FALSE(card->saveButton()->icon().isNull());
  // Equal shares of the button row.
  EXPECT_EQ(card->saveButton()->width(), card->goBackButton()->width());
  expectSecondaryAt(card->outline(), *card, 0.15);
  auto* footer = view->findChild<StyledLabel*>(QStringLiteral("footer"));
  EXPECT_EQ(footer->text(),
            QStringLiteral("Flip a switch. Lumora does the rest — no setup, no terminal."));
  EXPECT_EQ(footer->role(), Foreground::Tertiary);
  testing::saveScreenshot(*view, QStringLiteral("controlplane-off"));
  EXPECT_TRUE(testing::clippedTexts(*view).isEmpty())
      << testing::clippedTexts(*view).join(u'|').toStdString();
}

TEST_F(ControlPlaneViewTest, DetectedFeaturesShowGreenRows) {
  tools.setActiveUnits(
      "com.lumora.mirror.service loaded active running\n"
      "com.lumora.evict.service loaded active running\n");
  tools.home().write(".config/systemd/user/dev.lumora.swap.service", "");
  tools.home().write(".lumora/box/state.json", "{}");
  tools.home().write(".lumora/state/gpu-host", "");
  makeView(testing::instantTiming());
  showAndList();
  const QStringList statuses{"freeing space", "ready", "workspace ready", "running (billing)"};
  const auto rows = view->rows();
  ASSERT_EQ(rows.size(), 4);
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(rows[i]->switchControl()->isOn());
    EXPECT_EQ(rows[i]->statusPill()->text(), statuses[i]);
    EXPECT_TRUE(sameColor(rows[i]->statusPill()->textColor(), kGreenColor));
    EXPECT_NEAR(rows[i]->statusPill()->outlineColor().alphaF(), 0.4, 0.01);
    EXPECT_TRUE(sameColor(rows[i]->outline(), QColor(0x34, 0xC7, 0x59, 128), 2));
    EXPECT_EQ(rows[i]->width(), 412);
  }
  testing::saveScreenshot(*view, QStringLiteral("controlplane-on"));
  EXPECT_TRUE(testing::clippedTexts(*view).isEmpty())
      << testing::clippedTexts(*view).join(u'|').toStdString();
}

TEST_F(ControlPlaneViewTest, AFlippedSwitchIsDimmedAndDisabledUntilTheFeatureIsDetectedAgain) {
  testing::Gate gate;
  makeView(testing::gatedTiming(gate));
  showAndList();
  PillarRow* compute = view->rows()[2];
  QTest::mouseClick(compute->switchControl(), Qt::LeftButton);
  compute = view->rows()[2];
  EXPECT_TRUE(compute->pillar().busy);
  EXPECT_FALSE(compute->switchControl()->isEnabled());
  EXPECT_DOUBLE_EQ(compute->switchOpacity(), 0.4);
  EXPECT_FALSE(compute->switchControl()->isOn());  // the old value until detected
  // The other rows stay as they were.
  EXPECT_TRUE(view->rows()[1]->switchControl()->isEnabled());
  EXPECT_DOUBLE_EQ(view->rows()[1]->switchOpacity(), 1.0);
  testing::saveScreenshot(*view, QStringLiteral("controlplane-busy"));
  EXPECT_TRUE(testing::clippedTexts(*view).isEmpty())
      << testing::clippedTexts(*view).join(u'|').toStdString();

  QSignalSpy changed(&view->model(), &host::ControlPlaneModel::pillarsChanged);
  gate.open();
  QTRY_VERIFY_WITH_TIMEOUT(!view->rows()[2]->pillar().busy, 5000);
  compute = view->rows()[2];
  EXPECT_TRUE(compute->switchControl()->isOn());
  EXPECT_TRUE(compute->switchControl()->isEnabled());
  EXPECT_DOUBLE_EQ(compute->switchOpacity(), 1.0);
  EXPECT_EQ(compute->statusPill()->text(), QStringLiteral("workspace ready"));
  EXPECT_NE(std::find(tools.calls().begin(), tools.calls().end(), "box start"),
            tools.calls().end());
}

TEST_F(ControlPlaneViewTest, SavingDisablesTheCardButtonsAndShowsTheMessage) {
  makeView(testing::instantTiming());
  showAndList();
  SnapshotCard* card = view->card();
  QSignalSpy busy(&view->snaps(), &host::SnapshotModel::busyChanged);
  QTest::mouseClick(card->saveButton(), Qt::LeftButton);
  // Synchronously: busy, both buttons off, the saving text under them.
  EXPECT_FALSE(card->saveButton()->isEnabled());
  EXPECT_FALSE(card->goBackButton()->isEnabled());
  EXPECT_EQ(card->visibleRowCount(), 3);
  EXPECT_EQ(card->messageLabel()->text(), QStringLiteral("Saving a checkpoint of your machine…"));
  EXPECT_EQ(card->messageLabel()->role(), Foreground::Secondary);
  testing::saveScreenshot(*view, QStringLiteral("card-busy"));
  EXPECT_TRUE(testing::clippedTexts(*view).isEmpty())
      << testing::clippedTexts(*view).join(u'|').toStdString();

  QTRY_VERIFY_WITH_TIMEOUT(card->saveButton()->isEnabled(), 5000);
  EXPECT_TRUE(card->goBackButton()->isEnabled());
  EXPECT_EQ(card->messageLabel()->text(), QStringLiteral("Checkpoint saved."));
  EXPECT_EQ(card->visibleRowCount(), 3);
  testing::saveScreenshot(*view, QStringLiteral("card-message"));
  EXPECT_TRUE(testing::clippedTexts(*view).isEmpty())
      << testing::clippedTexts(*view).join(u'|').toStdString();
}

TEST_F(ControlPlaneViewTest, TheSheetShowsTheEmptyTextThenTheListedItems) {
  makeView(testing::instantTiming());
  showAndList();
  EXPECT_FALSE(view->showGoBack());
  QTest::mouseClick(view->card()->goBackButton(), Qt::LeftButton);
  ASSERT_TRUE(view->showGoBack());
  GoBackSheet* sheet = view->sheet();
  ASSERT_NE(sheet, nullptr);
  EXPECT_TRUE(sheet->isVisible());
  EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
  EXPECT_EQ(sheet->width(), 460);
  EXPECT_TRUE(sheet->emptyLabel()->isVisible());
  EXPECT_EQ(sheet->emptyLabel()->text(),
            QStringLiteral("No checkpoints yet. Use “Save a checkpoint” first."));
  EXPECT_EQ(sheet->emptyLabel()->role(), Foreground::Tertiary);
  EXPECT_FALSE(sheet->list()->isVisible());
  testing::saveScreenshot(*sheet, QStringLiteral("sheet-empty"));
  EXPECT_TRUE(testing::clippedTexts(*sheet).isEmpty())
      << testing::clippedTexts(*sheet).join(u'|').toStdString();

  // Escape, the cancel key, closes it.
  QTest::keyClick(sheet, Qt::Key_Escape);
  EXPECT_FALSE(view->showGoBack());
}

TEST_F(ControlPlaneViewTest, ManyItemsScrollWithinTwoHundredEightyAndRestoreClosesTheSheet) {
  std::string listing = "ID       CREATED            SIZE  NAME\n";
  for (int i = 1; i <= 9; ++i) {
    listing += "snap-" + std::to_string(i) + " 2026-12-0" + std::to_string(i) + "T10:00 " +
               std::to_string(i) + ".4G before upgrade " + std::to_string(i) + "\n";
  }
  listing += "snap;rm${IFS}-rf 2026-12-09T11:00 3.1G\n";
  tools.setSnapshots(listing);
  makeView(testing::instantTiming());
  showAndList();
  view->setShowGoBack(true);
  GoBackSheet* sheet = view->sheet();
  ASSERT_NE(sheet, nullptr);
  QTRY_COMPARE_WITH_TIMEOUT(sheet->restoreButtons().size(), 10, 5000);
  EXPECT_FALSE(sheet->emptyLabel()->isVisible());
  EXPECT_TRUE(sheet->list()->isVisible());
  EXPECT_EQ(sheet->list()->height(), GoBackSheet::kMaxListHeight);
  auto names = sheet->list()->widget()->findChildren<StyledLabel*>(QStringLiteral("itemName"));
  auto facts = sheet->list()->widget()->findChildren<StyledLabel*>(QStringLiteral("itemFacts"));
  ASSERT_EQ(names.size(), 10);
  EXPECT_EQ(names[0]->text(), QStringLiteral("before upgrade 1"));
  EXPECT_EQ(names[0]->font().pixelSize(), 15);
  EXPECT_EQ(facts[0]->text(), QStringLiteral("2026-12-01T10:00 · 1.4G"));
  EXPECT_EQ(names[9]->text(), QStringLiteral("snapshot"));
  for (ActionButton* restore : sheet->restoreButtons()) EXPECT_TRUE(restore->isEnabled());
  testing::saveScreenshot(*sheet, QStringLiteral("sheet-items"));
  EXPECT_TRUE(testing::clippedTexts(*sheet).isEmpty())
      << testing::clippedTexts(*sheet).join(u'|').toStdString();

  // Restoring the last (its id full of shell characters) closes the sheet and
  // hands the id to the tool as one word.
  QSignalSpy messages(&view->snaps(), &host::SnapshotModel::messageChanged);
  sheet->restoreButtons().back()->click();
  EXPECT_FALSE(view->showGoBack());
  EXPECT_TRUE(
      view->card()->messageLabel()->text().startsWith(QStringLiteral("Bringing back “snapshot”")));
  QTRY_COMPARE_WITH_TIMEOUT(view->card()->messageLabel()->text(),
                            QStringLiteral("Restored — look for a .restored copy in your files."),
                            5000);
  const auto calls = tools.calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "snapshot restore snap;rm${IFS}-rf"),
            calls.end());
}

TEST_F(ControlPlaneViewTest, ReturnInTheSheetNeverRestores) {
  tools.setSnapshots("ID CREATED SIZE NAME\nsnap-1 2026-12-01 1.0G nightly\n");
  makeView(testing::instantTiming());
  showAndList();
  view->setShowGoBack(true);
  GoBackSheet* sheet = view->sheet();
  ASSERT_NE(sheet, nullptr);
  QTRY_COMPARE_WITH_TIMEOUT(sheet->restoreButtons().size(), 1, 5000);
  ActionButton* restore = sheet->restoreButtons().front();
  EXPECT_FALSE(restore->autoDefault());
  restore->setFocus();
  for (auto key : {Qt::Key_Return, Qt::Key_Enter}) {
    QTest::keyClick(restore, key);
    QTest::keyClick(sheet, key);
  }
  QApplication::processEvents();
  EXPECT_TRUE(view->showGoBack());
  EXPECT_FALSE(view->snaps().busy());
  const auto calls = tools.calls();
  EXPECT_EQ(std::find(calls.begin(), calls.end(), "snapshot restore snap-1"), calls.end());
}

TEST_F(ControlPlaneViewTest, GoBackListsAgainAndTheOpenSheetShowsTheNewListing) {
  makeView(testing::instantTiming());
  showAndList();  // nothing saved yet
  tools.setSnapshots("ID CREATED SIZE NAME\nsnap-7 2026-12-07 5.5G nightly\n");
  QSignalSpy listed(&view->snaps(), &host::SnapshotModel::listingFinished);
  QTest::mouseClick(view->card()->goBackButton(), Qt::LeftButton);
  GoBackSheet* sheet = view->sheet();
  ASSERT_NE(sheet, nullptr);
  // The previous listing first, then the one the button started.
  EXPECT_TRUE(sheet->emptyLabel()->isVisible());
  ASSERT_TRUE(listed.wait(5000));
  EXPECT_FALSE(sheet->emptyLabel()->isVisible());
  ASSERT_EQ(sheet->restoreButtons().size(), 1);
  auto names = sheet->list()->widget()->findChildren<StyledLabel*>(QStringLiteral("itemName"));
  ASSERT_EQ(names.size(), 1);
  EXPECT_EQ(names[0]->text(), QStringLiteral("nightly"));
  // Shorter than the limit: the list is as high as its one row.
  EXPECT_LT(sheet->list()->height(), GoBackSheet::kMaxListHeight);
  EXPECT_GT(sheet->list()->height(), 0);
}

TEST_F(ControlPlaneViewTest, OnlyAMissingMachineNameReadsYourComputer) {
  ControlPlaneView unnamed(tools.environment(testing::instantTiming()), std::nullopt);
  EXPECT_EQ(unnamed.hostLabel()->text(), QStringLiteral("your computer"));
  ControlPlaneView blank(tools.environment(testing::instantTiming()), QString());
  EXPECT_EQ(blank.hostLabel()->text(), QString());
}

TEST_F(ControlPlaneViewTest, TheSheetCloseButtonDismissesIt) {
  tools.setSnapshots("ID CREATED SIZE NAME\nsnap-1 2026-12-01 2G\n");
  makeView(testing::instantTiming());
  showAndList();
  view->setShowGoBack(true);
  ASSERT_NE(view->sheet(), nullptr);
  EXPECT_EQ(view->sheet()->closeButton()->text(), QStringLiteral("Close"));
  QTest::mouseClick(view->sheet()->closeButton(), Qt::LeftButton);
  EXPECT_FALSE(view->showGoBack());
  QTRY_VERIFY(view->sheet() == nullptr);  // closed sheets are deleted
}

}  // namespace
}  // namespace lumora::ui
