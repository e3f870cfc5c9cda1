// The window tests run with a real QApplication on the offscreen platform.

#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // The same look on every machine: Fusion, whatever the desktop's style.
  QApplication::setStyle(QStringLiteral("Fusion"));
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
