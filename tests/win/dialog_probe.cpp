// dialog_probe ID [position]: prints the text of control ID of the running
// program's main dialog (found by its caption), or with "position" the
// position, low and high end of the progress bar ID, as three numbers.
// dialog_probe watch STATUS_ID BAR_ID: reads the status bar again and again
// until it shows "Done, Ready", printing each new text, and the progress
// bar's position beside it; at the end a line "answers N slowest MS
// above-low M": how often the status bar answered, its slowest answer, and
// how often the bar stood above its low end before "Done, Ready".
// Every question must be answered within one second: exit status 3 when
// one was not, 1 when the dialog or control is not there.  Used by the
// end-to-end tests to read the controls and to tell that the dialog
// answers while it works.
#include <windows.h>
#include <commctrl.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr UINT kAnswerWithin = 1000;  // milliseconds
constexpr DWORD kPollPause = 25;      // milliseconds between two readings of a watch

// Sends `message` and waits at most kAnswerWithin for the answer; false
// when none came in time.
bool Ask(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD_PTR* answer) {
  return SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, kAnswerWithin, answer) != 0;
}

// The control's text.  GetWindowTextA does not ask a control of another
// process for its text: WM_GETTEXT is sent.
bool AskText(HWND control, std::string* text) {
  DWORD_PTR length = 0;
  if (!Ask(control, WM_GETTEXTLENGTH, 0, 0, &length)) return false;
  // Room for a longer text too: a status text may change between the two
  // questions.
  const size_t room = (length > 1023 ? static_cast<size_t>(length) : size_t{1023}) + 1;
  text->assign(room, '\0');
  DWORD_PTR got = 0;
  if (!Ask(control, WM_GETTEXT, static_cast<WPARAM>(room), reinterpret_cast<LPARAM>(&(*text)[0]), &got)) {
    return false;
  }
  text->resize(got < room ? static_cast<size_t>(got) : 0);
  return true;
}

// Position and low end of a progress bar.  No pointer crosses to the other
// process: the ends come back one at a time as answers.
bool AskPosition(HWND bar, int* position, int* low, int* high) {
  DWORD_PTR p = 0, l = 0, h = 0;
  if (!Ask(bar, PBM_GETPOS, 0, 0, &p) || !Ask(bar, PBM_GETRANGE, TRUE, 0, &l) ||
      !Ask(bar, PBM_GETRANGE, FALSE, 0, &h)) {
    return false;
  }
  *position = static_cast<int>(p);
  *low = static_cast<int>(l);
  *high = static_cast<int>(h);
  return true;
}

int Watch(HWND status, HWND bar) {
  std::string shown = "\x01";
  long answers = 0, aboveLow = 0;
  DWORD slowest = 0;
  for (;;) {
    std::string text;
    const DWORD asked = GetTickCount();
    if (!AskText(status, &text)) {
      std::printf("no answer within a second (status '%s')\n", shown.c_str());
      return 3;
    }
    const DWORD took = GetTickCount() - asked;
    if (took > slowest) slowest = took;
    ++answers;
    int position = 0, low = 0, high = 0;
    if (text != "Done, Ready") {
      if (!AskPosition(bar, &position, &low, &high)) {
        std::printf("the progress bar did not answer within a second\n");
        return 3;
      }
      if (position > low) ++aboveLow;
    }
    if (text != shown) {
      std::printf("status: %s (bar %d of %d..%d)\n", text.c_str(), position, low, high);
      std::fflush(stdout);
      shown = text;
    }
    if (text == "Done, Ready") break;
    Sleep(kPollPause);
  }
  std::printf("answers %ld slowest %lu above-low %ld\n", answers, static_cast<unsigned long>(slowest), aboveLow);
  return 0;
}

HWND MainDialog() {
  return FindWindowA("#32770", "Quorvel Systems Inc. '835' Remittance De-Identifier version 2.1.1");
}

}  // namespace

int main(int argc, char** argv) {
  HWND dialog = MainDialog();
  if (argc == 4 && std::strcmp(argv[1], "watch") == 0) {
    if (dialog == nullptr) return 1;
    HWND status = GetDlgItem(dialog, std::atoi(argv[2]));
    HWND bar = GetDlgItem(dialog, std::atoi(argv[3]));
    if (status == nullptr || bar == nullptr) return 1;
    return Watch(status, bar);
  }
  if (argc != 2 && !(argc == 3 && std::strcmp(argv[2], "position") == 0)) return 2;
  if (dialog == nullptr) return 1;
  HWND control = GetDlgItem(dialog, std::atoi(argv[1]));
  if (control == nullptr) return 1;
  if (argc == 3) {
    int position = 0, low = 0, high = 0;
    if (!AskPosition(control, &position, &low, &high)) return 3;
    std::printf("%d %d %d\n", position, low, high);
    return 0;
  }
  std::string text;
  if (!AskText(control, &text)) return 3;
  _setmode(_fileno(stdout), _O_BINARY);  // the text as it is, CR LF included
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}
