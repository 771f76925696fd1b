// Entry point of the Windows program.
#include <windows.h>
#include <commctrl.h>

#include "main_dialog.h"
#include "scramble_command.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  INITCOMMONCONTROLSEX classes{};
  classes.dwSize = sizeof classes;
  classes.dwICC = ICC_BAR_CLASSES | ICC_PROGRESS_CLASS;
  InitCommonControlsEx(&classes);
  // The one random source of the program, made ready here; one value drawn
  // now means that a system without a cryptographic generator stops at
  // start-up rather than in the middle of a run.
  ProgramRandomSource().Next();
  DialogBoxParamA(instance, "MAIN", nullptr, MAINDIALOGPROC, 0);
  return 0;
}
