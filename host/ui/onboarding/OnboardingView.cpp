#include "host/ui/onboarding/OnboardingView.h"

#include <QLabel>
#include <QVBoxLayout>

#include "host/ui/widgets/ActionButton.h"
#include "host/ui/widgets/Icons.h"
#include "host/ui/widgets/Spinner.h"
#include "host/ui/widgets/Style.h"

namespace lumora::ui {

namespace {

using Phase = host::OnboardingModel::Phase;

QVBoxLayout* centredColumn(QWidget* owner, int spacing) {
  auto* column = new QVBoxLayout(owner);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(spacing);
  column->setAlignment(Qt::AlignHCenter);
  return column;
}

StyledLabel* centredLabel(const QString& text, const QFont& font, Foreground role) {
  auto* label = new StyledLabel(text, font, role);
  label->setAlignment(Qt::AlignHCenter);
  return label;
}

ActionButton* greenButton(const QString& title) {
  auto* button = new ActionButton(title, ActionButton::Kind::Prominent);
  button->setTint(green());
  button->setControlSize(ActionButton::Size::Large);
  return button;
}

}  // namespace

OnboardingView::OnboardingView(host::OnboardingModel& model, std::function<void()> onReady,
                               QWidget* parent)
    : QWidget(parent), model_(model), onReady_(std::move(onReady)) {
  setObjectName(QStringLiteral("OnboardingView"));
  setFixedWidth(460);
  auto* column = new QVBoxLayout(this);
  column->setSpacing(20);
  column->setContentsMargins(40, 40, 40, 40);

  auto* diamond = centredLabel(QStringLiteral("◆"), systemFont(44), Foreground::Green);
  diamond->setObjectName(QStringLiteral("diamond"));
  column->addWidget(diamond, 0, Qt::AlignHCenter);
  auto* title =
      centredLabel(tr("Welcome to Lumora"), textFont(TextStyle::Title, true), Foreground::Primary);
  title->setObjectName(QStringLiteral("title"));
  column->addWidget(title, 0, Qt::AlignHCenter);
  auto* tagline = centredLabel(tr("Your computer, backed by the cloud.\nMore space, more memory, "
                                  "more power — one switch at a time."),
                               textFont(TextStyle::Callout), Foreground::Secondary);
  tagline->setObjectName(QStringLiteral("tagline"));
  // The second line is wider than the 380 left inside the padding with some
  // fonts: it wraps, centred, across the whole width instead of being cut.
  tagline->setWordWrap(true);
  column->addWidget(tagline);

  shown_ = model_.phase();
  render();
  QObject::connect(&model_, &host::OnboardingModel::phaseChanged, this, [this](Phase phase) {
    const bool becameDone = phase == Phase::done && shown_ != Phase::done;
    shown_ = phase;
    render();
    if (becameDone && onReady_) onReady_();
  });
}

OnboardingView::~OnboardingView() {
  for (const QPointer<QWidget>& block : retired_) delete block.data();
}

void OnboardingView::render() {
  auto* column = static_cast<QVBoxLayout*>(layout());
  if (phaseBlock_ != nullptr) {
    column->removeWidget(phaseBlock_);
    phaseBlock_->hide();
    // Out of the tree at once, deleted later: the change may come from a
    // button of the old block, still inside its click.
    phaseBlock_->setParent(nullptr);
    phaseBlock_->deleteLater();
    std::erase_if(retired_, [](const QPointer<QWidget>& block) { return block.isNull(); });
    retired_.emplace_back(phaseBlock_);
  }
  switch (shown_) {
    case Phase::welcome:
      phaseBlock_ = makeWelcomeBlock();
      break;
    case Phase::waiting:
      phaseBlock_ = makeWaitingBlock();
      break;
    case Phase::done:
      phaseBlock_ = makeDoneBlock();
      break;
  }
  phaseBlock_->setObjectName(QStringLiteral("phaseBlock"));
  column->addWidget(phaseBlock_, 0, Qt::AlignHCenter);
  // A layout shows a new child of a visible widget only on a later turn of
  // the event loop; the phase must be on screen now.
  phaseBlock_->show();
}

QWidget* OnboardingView::makeWelcomeBlock() {
  auto* block = new QWidget(this);
  auto* column = centredColumn(block, 20);
  auto* start = greenButton(tr("Get started"));
  start->setObjectName(QStringLiteral("getStarted"));
  start->setVerticalPadding(4);
  start->setFixedWidth(220);
  QObject::connect(start, &QPushButton::clicked, &model_, &host::OnboardingModel::signIn);
  column->addWidget(start, 0, Qt::AlignHCenter);
  auto* hint = centredLabel(tr("Opens your browser to sign in — takes about a minute."),
                            textFont(TextStyle::Footnote), Foreground::Tertiary);
  column->addWidget(hint, 0, Qt::AlignHCenter);
  return block;
}

QWidget* OnboardingView::makeWaitingBlock() {
  auto* block = new QWidget(this);
  auto* column = centredColumn(block, 20);
  auto* spinner = new Spinner(32, block);
  spinner->setObjectName(QStringLiteral("spinner"));
  column->addWidget(spinner, 0, Qt::AlignHCenter);
  auto* hint = centredLabel(tr("Finish signing in in your browser…\nThis window updates "
                               "automatically."),
                            textFont(TextStyle::Footnote), Foreground::Tertiary);
  column->addWidget(hint, 0, Qt::AlignHCenter);
  return block;
}

QWidget* OnboardingView::makeDoneBlock() {
  auto* block = new QWidget(this);
  auto* column = centredColumn(block, 20);
  auto* check = new QLabel(block);
  check->setObjectName(QStringLiteral("checkmark"));
  check->setPixmap(
      tinted(symbolIcon(Symbol::CheckmarkCircleFill), 32, green(), devicePixelRatioF()));
  check->setFixedSize(32, 32);
  column->addWidget(check, 0, Qt::AlignHCenter);
  auto* done = centredLabel(tr("You're in!"), textFont(TextStyle::Headline), Foreground::Primary);
  column->addWidget(done, 0, Qt::AlignHCenter);
  auto* open = greenButton(tr("Open Lumora"));
  open->setObjectName(QStringLiteral("openLumora"));
  QObject::connect(open, &QPushButton::clicked, this, [this] {
    if (onReady_) onReady_();
  });
  column->addWidget(open, 0, Qt::AlignHCenter);
  return block;
}

}  // namespace lumora::ui
