// The console program tests' main: one offscreen Qt application for every test, with the
// per-user settings kept in a folder of this run.
#include <QApplication>
#include <QTemporaryDir>

#include <cstdlib>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QTemporaryDir settings;
  setenv("XDG_CONFIG_HOME", settings.path().toUtf8().constData(), 1);
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
