// main for the widget tests: the QApplication lives inside main, so it is gone before the
// program's static objects are torn down (a static one crashes at exit).
#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
