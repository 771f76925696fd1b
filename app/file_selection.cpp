#include "file_selection.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "main_dialog.h"
#include "platform.h"
#include "win_files.h"

namespace {

// The open-dialog description is handed to the system without the members
// that later versions appended (76 bytes in a 32-bit program).
constexpr size_t kDescriptionSize =
    offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(OPENFILENAMEA::lpTemplateName);
#if !defined(_WIN64)
static_assert(kDescriptionSize == 76, "OPENFILENAME of version 4.0");
#endif

const char kInputFilter[] = "All Files (*.*)\0*.*\0";
const char kOutputFilter[] = "Text Files (*.txt)\0*.txt\0All Files (*.*)\0*.*\0";

struct FileDialogState {
  bool setUp = false;
  OPENFILENAMEA description{};
  char title[48] = {};
  char folder[260] = {};
  char fileName[260] = {};
};

// One state per kind for the life of the program; each keeps the folder
// of the last file chosen with it.
FileDialogState gStates[2];
FileDialogServices gServices;

void SetUp(FileDialogState& state, int kind) {
  state.setUp = true;
  OPENFILENAMEA& d = state.description;
  std::memset(&d, 0, sizeof d);
  d.lStructSize = kDescriptionSize;
  d.nFilterIndex = 1;
  const DWORD common = OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_EXPLORER |
                       OFN_LONGNAMES;
  if (kind == kInputKind) {
    std::strcpy(state.title, "Select Input Remittance File to De-Identify");
    d.lpstrFilter = kInputFilter;
    d.Flags = common | OFN_FILEMUSTEXIST;
  } else {
    std::strcpy(state.title, "Select File Name for Scrambled Output");
    d.lpstrFilter = kOutputFilter;
    d.Flags = common | OFN_OVERWRITEPROMPT;
  }
  d.lpstrTitle = state.title;
  DWORD length = GetCurrentDirectoryA(sizeof state.folder, state.folder);
  if (length == 0 || length >= sizeof state.folder) state.folder[0] = '\0';
}

std::string Trimmed(const char* text) {
  std::string path = text;
  size_t first = path.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  size_t last = path.find_last_not_of(' ');
  return path.substr(first, last - first + 1);
}

}  // namespace

void SetFileDialogServices(const FileDialogServices& services) { gServices = services; }

std::string BrowseForFile(HWND dialog, int kind) {
  FileDialogState& state = gStates[kind == kInputKind ? 0 : 1];
  if (!state.setUp) SetUp(state, kind);
  OPENFILENAMEA& d = state.description;
  d.hwndOwner = dialog;
  d.lpstrInitialDir = state.folder;
  state.fileName[0] = '\0';
  d.lpstrFile = state.fileName;
  d.nMaxFile = sizeof state.fileName;

  BOOL chosen = kind == kInputKind ? gServices.open(&d) : gServices.save(&d);
  if (chosen) {
    state.fileName[sizeof state.fileName - 1] = '\0';
    std::string path = Trimmed(state.fileName);
    size_t slash = path.rfind('\\');
    std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    folder.resize(std::min(folder.size(), sizeof state.folder - 1));
    std::memcpy(state.folder, folder.c_str(), folder.size() + 1);
    state.fileName[0] = '\0';
    return path;
  }
  DWORD code = gServices.extendedError();
  if (code != 0) {
    std::string text = "GetOpen/SaveFileName failed on error# " + std::to_string(code);
    MessageBoxA(nullptr, text.c_str(), "Yikes!!!", MB_OK | MB_ICONINFORMATION);
  }
  return std::string();
}

int ValidateFileFields(HWND dialog, std::string& message) {
  const std::string input = ControlText(dialog, IDC_INPUT_PATH);
  if (input.empty() || !FileSearchFindsPlainFile(input)) {
    message = "Can't find Input File";
    return IDC_INPUT_PATH;
  }
  const std::string output = ControlText(dialog, IDC_OUTPUT_PATH);
  if (!IsUsableOutputPath(output)) {
    message = "Invalid or Missing Output File Path or Name";
    return IDC_OUTPUT_PATH;
  }
  // Another spelling of the input's path (other letter case, relative
  // against absolute) would have the run replace the input with its own
  // scrambled copy: compare the files themselves as well as the texts.
  if (input == output || IsSameFile(input, output)) {
    message = "Output File cannot be same as Input File";
    return IDC_OUTPUT_PATH;
  }
  return 0;
}
