#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  // As the program's own start-up does: the status bar needs its class.
  INITCOMMONCONTROLSEX classes{};
  classes.dwSize = sizeof classes;
  classes.dwICC = ICC_BAR_CLASSES | ICC_PROGRESS_CLASS;
  InitCommonControlsEx(&classes);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
