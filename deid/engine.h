// The de-identification engine: collects the identifying values of every
// claim of a scanned 835 file, puts each column into a random order of its
// own, writes the scrambled output and the run report.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "collector.h"
#include "counts.h"
#include "random.h"
#include "x12scan.h"

class ScopedPrivateTempFile;

/// The engine's whole use of the dialog that started the run.  The Windows
/// dialog, the command-line tool and the tests each supply their own.
class EngineDialog {
 public:
  virtual ~EngineDialog() = default;
  /// The input path as the user gave it (shown in the status and the
  /// report header).
  virtual std::string InputPathText() = 0;
  /// The path of the output file as the user gave it (shown in the status
  /// and the report).
  virtual std::string OutputPathText() = 0;
  /// The file that the run reads and the file that it writes: the paths
  /// above, unless the dialog stands a temporary file in for a stream (the
  /// command line's standard input and output).
  virtual std::string InputFileToRead() { return InputPathText(); }
  virtual std::string OutputFileToWrite() { return OutputPathText(); }
  /// The "Report All Changed Segments" option.
  virtual bool ListingChecked() = 0;
  /// The "Thorough" option: the identifiers of 005010 files beyond the
  /// default columns are exchanged too, and each column only among the
  /// claims whose own segment carries a value for it.
  virtual bool ThoroughChecked() { return false; }
  /// Shows the stage the run has reached.
  virtual void SetStatusText(const std::string& text) = 0;
};

/// Where the engine shows a message that needs the user's attention (a
/// message box on Windows, standard error on the command line).
class EngineNotice {
 public:
  virtual ~EngineNotice() = default;
  virtual void Show(const std::string& text) = 0;
};

/// Why the engine itself refused to write the output: negative, so that
/// they never meet the platform's error codes.
enum EngineRefusal : int32_t {
  /// The collection met more claims than the scan counted, or fewer without
  /// a byte 0x1A to explain it: claims and rows could not be matched.
  kRefusedClaimsDisagree = -1,
  /// The unwrapped copy no longer held what the collection found in it.
  kRefusedCopyChanged = -2,
  /// Another output of the same pool was not written: the outputs of a
  /// pool are placed only when every one of them is complete.
  kRefusedPoolIncomplete = -3,
};

/// The reason of an output error: an engine refusal or a platform error.
std::string OutputErrorText(int32_t code);

/// The report's (and the command line's) line for an output not written.
std::string OutputNotWrittenText(const std::string& outputPath, int32_t code);

/// What a run of the engine achieved.
struct ScrambleResult {
  bool opened = false;         ///< the unwrapped copy and the report file opened
  bool outputWritten = false;  ///< the output file is complete and in place
  int32_t outputError = 0;     ///< error number when the output was not written
  bool reportWritten = false;  ///< the report file is complete
  ScrambleCounts counts;
  /// A byte 0x1A inside the data ended both passes: the output lacks every
  /// segment after it.
  bool endMarkMet = false;
  /// Claims whose values could not be exchanged with any other claim: all
  /// of them in a file of one claim, else those alone under their
  /// interchange's delimiters.
  int64_t unexchangedClaims = 0;
  /// What the user must be told after the run, beside the report: each a
  /// complete sentence.
  std::vector<std::string> warnings;
};

/// Runs the engine over the unwrapped copy at `copyPath` with the scan's
/// tables: opening (a failure is shown through `notice` as "Error # N On
/// OPEN Of path" and ends the run), collection, reordering with `random`,
/// rewrite into the output file named by the dialog, and the report into
/// `reportPath`.  The output is written to a temporary file beside it and
/// moved into place only when complete; when that fails the report says so.
/// `progress` receives the percentage of each pass when its window is not 0.
/// The group table is not used.
///
/// With a `collector` that took in the copy while the scan wrote it, the
/// collection is finished from what it gathered instead of read again.
/// With the copy's temporary file `copyFile` (whose path is `copyPath`),
/// the rewrite gives back the room of what it has read, and the copy is
/// deleted once the output is made.
ScrambleResult ScrambleFile(EngineDialog& dialog, const std::string& copyPath,
                            const std::string& reportPath, const InterchangeTable& interchanges,
                            const GroupTable& groups, const SetTable& sets, RandomSource& random,
                            EngineNotice& notice, const ProgressTarget& progress = {},
                            CopyCollector* collector = nullptr,
                            ScopedPrivateTempFile* copyFile = nullptr);

/// One input of a pool (several inputs scrambled as one: each column is
/// exchanged among the claims of all of them) between the engine's stages.
/// The caller fills in the first part; CollectPoolFile and ScramblePool the
/// rest.
struct PoolFile {
  std::string inputText;   ///< the input as the user gave it (report, status)
  std::string outputText;  ///< the output as the user gave it
  std::string outputFile;  ///< the file that receives the output
  std::string copyPath;    ///< the input's unwrapped copy
  /// Deleted once the input's output is made (when not null): a pool keeps
  /// each copy only as long as it needs it.
  ScopedPrivateTempFile* copy = nullptr;
  /// The tables of the input's scan.
  const InterchangeTable* interchanges = nullptr;
  const SetTable* sets = nullptr;
  /// The collector that took in the copy while the scan wrote it; for every
  /// input after the first, its collection went on from the input's before
  /// (Collection::ContinueFrom, the rows after the claims counted by the
  /// scans of the inputs before).  Without one the copy is collected from
  /// the file (a run of one input only).
  CopyCollector* collector = nullptr;

  // Filled in by the stages.
  Collection own;                     ///< the collection without a collector
  Collection* collection = nullptr;   ///< the finished collection
  int64_t claimCount = 0;             ///< the claims the scan counted
  bool collectFailed = false;         ///< the copy could not be read whole
  ScrambleResult result;              ///< this input's counts and output
};

/// The collection stage for one input of a pool, right after its scan and
/// before the next input's scan (whose collection goes on from this one):
/// "Collecting Information", the copy opened (a failure is shown through
/// `notice` as "Error # N On OPEN Of path": false) and the collection
/// finished from it where the collector could not.
bool CollectPoolFile(EngineDialog& dialog, PoolFile& file, RandomSource& random,
                     EngineNotice& notice, const ProgressTarget& progress = {});

/// The rest of a run over a pool whose inputs were all collected by
/// CollectPoolFile: one reordering of the table of all of them, each output
/// written to a temporary file beside it (a copy given in PoolFile::copy is
/// deleted after its output is made) and all moved into place one after
/// another once every one is complete; when one cannot be written, none is
/// placed and every temporary file is removed.  The report in `reportPath`:
/// a header line for every input, the listing of every input, then the
/// counts of each input and their total, and a line for every output.
/// Returns the pool's whole result (the counts are the totals; the output
/// counts as written when every one is); each input's own is in its
/// PoolFile::result.  A failure to open the report is shown through
/// `notice`, and nothing is written.
ScrambleResult ScramblePool(EngineDialog& dialog, std::vector<PoolFile>& files,
                            const std::string& reportPath, RandomSource& random,
                            EngineNotice& notice, const ProgressTarget& progress = {});

/// A count for the report: comma groups, right-aligned in 7 characters
/// (more when the count needs them).
std::string FormatReportCount(int64_t value);

/// "HH:MM:SS" and "MM-DD-YYYY" of a local time.
std::string FormatReportTime(const struct tm& local);
std::string FormatReportDate(const struct tm& local);
