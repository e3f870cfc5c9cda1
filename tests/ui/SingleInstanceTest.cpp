// One instance per user: the lock, the socket and the activation request.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include "host/ui/app/SingleInstance.h"
#include "tests/fixtures/TempHome.h"

namespace lumora::ui {
namespace {

TEST(SingleInstanceTest, ASecondInstanceAsksTheFirstToComeForward) {
  testing::TempDir dir;
  const QString socket = QString::fromStdString((dir.path() / "desktop.sock").string());
  SingleInstance first(socket);
  ASSERT_EQ(first.start(), SingleInstance::Role::Primary);
  EXPECT_TRUE(first.isListening());
  QSignalSpy activations(&first, &SingleInstance::activationRequested);

  SingleInstance second(socket);
  EXPECT_EQ(second.start(500), SingleInstance::Role::Secondary);
  EXPECT_FALSE(second.isListening());
  EXPECT_TRUE(activations.wait(2000));
  EXPECT_EQ(activations.count(), 1);
}

TEST(SingleInstanceTest, ALockLeftByADeadProcessIsTakenOver) {
  testing::TempDir dir;
  const QString socket = QString::fromStdString((dir.path() / "desktop.sock").string());
  // A process that has ended: its pid is no longer running.
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  ::waitpid(child, nullptr, 0);
  QFile lock(socket + ".lock");
  ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
  lock.write(QByteArray::number(child) + "\nlumora-desktop\n" +
             QSysInfo::machineHostName().toUtf8() + "\n");
  lock.close();
  // And a socket file left behind by it.
  QFile stale(socket);
  ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
  stale.close();

  SingleInstance instance(socket);
  EXPECT_EQ(instance.start(200), SingleInstance::Role::Primary);
  EXPECT_TRUE(instance.isListening());
}

TEST(SingleInstanceTest, ALiveLockWithoutAListenerFailsInsteadOfHanging) {
  testing::TempDir dir;
  const QString socket = QString::fromStdString((dir.path() / "desktop.sock").string());
  QLockFile held(socket + ".lock");
  ASSERT_TRUE(held.tryLock(0));
  SingleInstance instance(socket);
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(instance.start(150), SingleInstance::Role::Failed);
  EXPECT_LT(clock.elapsed(), 2000);
}

}  // namespace
}  // namespace lumora::ui
