// The main of every test program that shows widgets: one application for
// all its tests, on the offscreen platform unless another one is asked for,
// since tests run without a screen and pixel checks need one without window
// manager or scaling.
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char **argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
