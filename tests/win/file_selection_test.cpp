// Validation of the two path fields, the output-path test, and the file
// dialogs' remembered folders.
#include <windows.h>

#include <cstring>

#include <gtest/gtest.h>

#include "file_selection.h"
#include "main_dialog.h"
#include "platform.h"
#include "x12scan.h"
#include "win_files.h"
#include "win_test_util.h"

namespace {

constexpr char kNoInput[] = "Can't find Input File";
constexpr char kBadOutput[] = "Invalid or Missing Output File Path or Name";
constexpr char kSameFile[] = "Output File cannot be same as Input File";

class Validation : public testing::Test {
 protected:
  void SetUp() override {
    input_ = folder_.Write("claims.835", "ISA");
    hidden_ = folder_.Write("hidden.835", "ISA");
    SetFileAttributesA(hidden_.c_str(), FILE_ATTRIBUTE_HIDDEN);
    system_ = folder_.Write("system.835", "ISA");
    SetFileAttributesA(system_.c_str(), FILE_ATTRIBUTE_SYSTEM);
    CreateDirectoryA((folder_.Path() + "empty").c_str(), nullptr);
    CreateDirectoryA((folder_.Path() + "filled").c_str(), nullptr);
    folder_.Write("filled\\one.835", "ISA");
  }

  int Validate(const std::string& input, const std::string& output, std::string& message) {
    dialog_.SetText(IDC_INPUT_PATH, input);
    dialog_.SetText(IDC_OUTPUT_PATH, output);
    message = "untouched";
    return ValidateFileFields(dialog_.Get(), message);
  }

  ScratchFolder folder_;
  MainDialogWindow dialog_;
  std::string input_, hidden_, system_;
};

TEST_F(Validation, FirstFailingTestDecides) {
  const std::string f = folder_.Path();
  const std::string newOutput = f + "new.txt";
  struct Case {
    std::string input, output;
    int field;
    const char* message;
  };
  const Case cases[] = {
      {"", newOutput, IDC_INPUT_PATH, kNoInput},
      {f + "missing.835", newOutput, IDC_INPUT_PATH, kNoInput},
      {f + "filled", newOutput, IDC_INPUT_PATH, kNoInput},  // a folder
      {hidden_, newOutput, IDC_INPUT_PATH, kNoInput},
      {system_, newOutput, IDC_INPUT_PATH, kNoInput},
      {f + "empty\\", newOutput, IDC_INPUT_PATH, kNoInput},
      {f + "filled\\", newOutput, 0, nullptr},  // "*.*" appended finds one.835
      {f + "cl*.8?5", newOutput, 0, nullptr},   // wildcards match claims.835
      {f + "zz*.835", newOutput, IDC_INPUT_PATH, kNoInput},
      {input_, "", IDC_OUTPUT_PATH, kBadOutput},
      {input_, f + "nofolder\\out.txt", IDC_OUTPUT_PATH, kBadOutput},
      {input_, f + "filled", IDC_OUTPUT_PATH, kBadOutput},  // a folder
      {input_, f + "bad|name.txt", IDC_OUTPUT_PATH, kBadOutput},
      {input_, newOutput, 0, nullptr},
      {input_, f + "filled\\one.835", 0, nullptr},  // an existing plain file
      {input_, input_, IDC_OUTPUT_PATH, kSameFile},
      {f + "CLAIMS.835", f + "claims.835", IDC_OUTPUT_PATH, kSameFile},  // letter case
      {f + "filled\\..\\claims.835", input_, IDC_OUTPUT_PATH, kSameFile},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input + " -> " + c.output);
    std::string message;
    EXPECT_EQ(Validate(c.input, c.output, message), c.field);
    EXPECT_EQ(message, c.message != nullptr ? c.message : "untouched");
  }
  // No test left a file behind.
  EXPECT_EQ(GetFileAttributesA(newOutput.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Validation, RelativeSpellingOfTheInputIsRefusedAsOutput) {
  char previous[MAX_PATH] = {};
  GetCurrentDirectoryA(sizeof previous, previous);
  ASSERT_TRUE(SetCurrentDirectoryA(folder_.Path().c_str()));
  std::string message;
  int field = Validate(input_, "claims.835", message);
  SetCurrentDirectoryA(previous);
  EXPECT_EQ(field, IDC_OUTPUT_PATH);
  EXPECT_EQ(message, kSameFile);
}

TEST_F(Validation, ExistingOutputIsNeitherChangedNorDeleted) {
  // An empty existing file that the search skips (hidden) must survive the
  // test of the output path.
  std::string emptyHidden = folder_.Write("empty-hidden.txt", "");
  SetFileAttributesA(emptyHidden.c_str(), FILE_ATTRIBUTE_HIDDEN);
  EXPECT_TRUE(IsUsableOutputPath(emptyHidden));
  EXPECT_NE(GetFileAttributesA(emptyHidden.c_str()), INVALID_FILE_ATTRIBUTES);

  std::string existing = folder_.Write("existing.txt", "keep me");
  EXPECT_TRUE(IsUsableOutputPath(existing));
  EXPECT_EQ(ReadWholeFile(existing), "keep me");
}

TEST_F(Validation, ScrambleShowsEditErrorAndFocusesTheFieldAtFault) {
  struct Case {
    std::string input, output;
    int field;
    const char* message;
  };
  for (const Case& c : {Case{folder_.Path() + "missing.835", "", IDC_INPUT_PATH, kNoInput},
                        Case{input_, folder_.Path() + "nofolder\\x", IDC_OUTPUT_PATH, kBadOutput},
                        Case{input_, input_, IDC_OUTPUT_PATH, kSameFile}}) {
    dialog_.SetText(IDC_INPUT_PATH, c.input);
    dialog_.SetText(IDC_OUTPUT_PATH, c.output);
    SetFocus(dialog_.Item(IDC_SCRAMBLE));
    MessageBoxCapture capture;
    dialog_.Scramble();
    ASSERT_EQ(capture.Boxes().size(), 1u);
    EXPECT_EQ(capture.Boxes()[0].caption, "Edit Error!");
    EXPECT_EQ(capture.Boxes()[0].text, c.message);
    EXPECT_TRUE(capture.Boxes()[0].hasIcon);
    EXPECT_FALSE(capture.Boxes()[0].hasOwner);
    EXPECT_EQ(GetFocus(), dialog_.Item(c.field));
    EXPECT_EQ(dialog_.Text(IDC_REPORT), "No Files Processed Yet.");  // no run started
  }
}

// Stand-ins for the system's file dialogs: record what they were handed and
// answer with the next prepared choice.
struct FakeChoice {
  BOOL chosen;
  DWORD error;
  const char* path;
};
struct SeenCall {
  bool open;
  DWORD structSize;
  HWND owner;
  std::string title, filter, initialDir;
  DWORD flags, maxFile, filterIndex;
};
std::vector<FakeChoice> gChoices;
std::vector<SeenCall> gCalls;
DWORD gLastError = 0;

BOOL Answer(LPOPENFILENAMEA d, bool open) {
  SeenCall call{open, d->lStructSize, d->hwndOwner, d->lpstrTitle, "", d->lpstrInitialDir,
                d->Flags, d->nMaxFile, d->nFilterIndex};
  for (const char* p = d->lpstrFilter; *p != '\0'; p += std::strlen(p) + 1) {
    call.filter += std::string(p) + "|";
  }
  gCalls.push_back(call);
  FakeChoice choice = gChoices.front();
  gChoices.erase(gChoices.begin());
  gLastError = choice.error;
  if (choice.chosen) std::strcpy(d->lpstrFile, choice.path);
  return choice.chosen;
}
BOOL WINAPI FakeOpen(LPOPENFILENAMEA d) { return Answer(d, true); }
BOOL WINAPI FakeSave(LPOPENFILENAMEA d) { return Answer(d, false); }
DWORD WINAPI FakeError() { return gLastError; }

TEST(BrowseForFile, EachKindRemembersTheFolderOfItsLastChoice) {
  FileDialogServices fakes;
  fakes.open = FakeOpen;
  fakes.save = FakeSave;
  fakes.extendedError = FakeError;
  SetFileDialogServices(fakes);
  MainDialogWindow dialog;
  char current[MAX_PATH] = {};
  GetCurrentDirectoryA(sizeof current, current);

  gChoices = {{TRUE, 0, "C:\\data\\in\\first.835"},
              {TRUE, 0, "C:\\second.835  "},  // trailing spaces are dropped
              {FALSE, 0, nullptr},            // cancelled
              {TRUE, 0, "D:\\out\\result.txt"},
              {FALSE, 0x3003, nullptr},       // failed: FNERR_BUFFERTOOSMALL
              {TRUE, 0, "plain.txt"}};
  MessageBoxCapture capture;
  dialog.Click(IDC_BROWSE_INPUT);
  EXPECT_EQ(dialog.Text(IDC_INPUT_PATH), "C:\\data\\in\\first.835");
  dialog.Click(IDC_BROWSE_INPUT);
  EXPECT_EQ(dialog.Text(IDC_INPUT_PATH), "C:\\second.835");
  dialog.Click(IDC_BROWSE_INPUT);
  EXPECT_EQ(dialog.Text(IDC_INPUT_PATH), "C:\\second.835");
  EXPECT_TRUE(capture.Boxes().empty());
  dialog.Click(IDC_BROWSE_OUTPUT);
  EXPECT_EQ(dialog.Text(IDC_OUTPUT_PATH), "D:\\out\\result.txt");
  dialog.Click(IDC_BROWSE_OUTPUT);
  EXPECT_EQ(dialog.Text(IDC_OUTPUT_PATH), "D:\\out\\result.txt");
  ASSERT_EQ(capture.Boxes().size(), 1u);
  EXPECT_EQ(capture.Boxes()[0].caption, "Yikes!!!");
  EXPECT_EQ(capture.Boxes()[0].text, "GetOpen/SaveFileName failed on error# 12291");
  EXPECT_TRUE(capture.Boxes()[0].hasIcon);
  EXPECT_FALSE(capture.Boxes()[0].hasOwner);
  dialog.Click(IDC_BROWSE_OUTPUT);
  EXPECT_EQ(dialog.Text(IDC_OUTPUT_PATH), "plain.txt");

  ASSERT_EQ(gCalls.size(), 6u);
  const char* expectedDirs[] = {current, "C:\\data\\in\\", "C:\\", current, "D:\\out\\",
                                "D:\\out\\"};
  for (size_t i = 0; i < gCalls.size(); ++i) {
    SCOPED_TRACE(i);
    const SeenCall& call = gCalls[i];
    EXPECT_EQ(call.initialDir, expectedDirs[i]);
    EXPECT_EQ(call.structSize, static_cast<DWORD>(OPENFILENAME_SIZE_VERSION_400A));
    EXPECT_EQ(call.owner, dialog.Get());
    EXPECT_EQ(call.maxFile, 260u);
    EXPECT_EQ(call.filterIndex, 1u);
    const DWORD common =
        OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_EXPLORER | OFN_LONGNAMES;
    if (i < 3) {
      EXPECT_TRUE(call.open);
      EXPECT_EQ(call.title, "Select Input Remittance File to De-Identify");
      EXPECT_EQ(call.filter, "All Files (*.*)|*.*|");
      EXPECT_EQ(call.flags, common | OFN_FILEMUSTEXIST);
    } else {
      EXPECT_FALSE(call.open);
      EXPECT_EQ(call.title, "Select File Name for Scrambled Output");
      EXPECT_EQ(call.filter, "Text Files (*.txt)|*.txt|All Files (*.*)|*.*|");
      EXPECT_EQ(call.flags, common | OFN_OVERWRITEPROMPT);
    }
  }
  // A choice without a backslash leaves an empty folder for the next call.
  gChoices = {{FALSE, 0, nullptr}};
  dialog.Click(IDC_BROWSE_OUTPUT);
  EXPECT_EQ(gCalls.back().initialDir, "");
  SetFileDialogServices(FileDialogServices());
}

}  // namespace
