#include "envelope.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "platform.h"
#include "x12scan.h"

namespace {

// How many items the scan found: a table holds its single zeroed entry when
// none was found, and every real entry has at least one segment counted.
int32_t GroupsFound(const GroupTable& t) { return t[1].segmentCount > 0 ? t.Count() : 0; }
int32_t SetsFound(const SetTable& t) { return t[1].segmentCount > 0 ? t.Count() : 0; }
int32_t InterchangesFound(const InterchangeTable& t) { return t[1].segmentCount > 0 ? t.Count() : 0; }

std::string HeaderField(const InterchangeEntry& entry, int from, int width) {
  return std::string(entry.isaText + from, static_cast<size_t>(width));
}

const char* Agreement(int32_t counted, int32_t stated) { return counted == stated ? "" : "  MISMATCH"; }

// Why `path` is no readable plain file; empty when it is one.
std::string ReadablePlainFileProblem(const std::string& path) {
  std::string problem = InputFileProblem(path);
  if (!problem.empty()) return problem;
  errno = 0;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return std::strerror(errno != 0 ? errno : EACCES);
  std::fclose(f);
  return std::string();
}

void PrintSet(FILE* out, int32_t s, const SetEntry& st, const char* indent) {
  std::fprintf(out, "%sSet %d: %s, control %d, segments %d against SE01 %d%s", indent, s, st.setId,
               st.controlNumber, st.segmentCount, st.seSegmentCount, Agreement(st.segmentCount, st.seSegmentCount));
  if (st.loopTag1[0] != '\0') std::fprintf(out, ", %s %d", st.loopTag1, st.loopCount1);
  if (st.loopTag2[0] != '\0') std::fprintf(out, ", %s %d", st.loopTag2, st.loopCount2);
  std::fprintf(out, "%s\n", st.length == 0 ? "  (no SE: the set is not closed)" : "");
}

}  // namespace

int RunInspect(const std::string& path, FILE* out, FILE* err) {
  const std::string problem = ReadablePlainFileProblem(path);
  if (!problem.empty()) {
    std::fprintf(err, "scramble835: Can't find Input File: %s (%s)\n", path.c_str(), problem.c_str());
    return kInspectBadArgument;
  }
  InterchangeTable interchanges;
  Ta1Table ta1s;
  GroupTable groups;
  SetTable sets;
  ProgressTarget noProgress;
  const int32_t code = ScanX12File(path, "", "", interchanges, ta1s, groups, sets, noProgress);
  if (code == kScanNotFound) {
    std::fprintf(err, "scramble835: Can't find Input File: %s (%s)\n", path.c_str(),
                 ScanErrorText(code).c_str());
    return kInspectBadArgument;
  }

  const int32_t interchangeCount = InterchangesFound(interchanges);
  const int32_t groupCount = GroupsFound(groups);
  const int32_t setCount = SetsFound(sets);
  int64_t claims = 0;
  for (int32_t s = 1; s <= setCount; ++s) {
    if (std::strcmp(sets[s].setId, "835") == 0) claims += sets[s].loopCount1;
  }

  std::fprintf(out, "Scan result: %d %s\n", code, ScanErrorText(code).c_str());
  std::fprintf(out, "interchanges: %d  groups: %d  sets: %d  claims: %lld\n", interchangeCount, groupCount,
               setCount, static_cast<long long>(claims));

  // Entries are made in file order, so the groups of an interchange and the
  // sets of a group follow each other: one cursor per table suffices.
  int32_t s = 1;
  for (; s <= setCount && sets[s].group == 0; ++s) {
    PrintSet(out, s, sets[s], "Before any group: ");
  }
  int32_t g = 1;
  for (int32_t i = 1; i <= interchangeCount; ++i) {
    const InterchangeEntry& ic = interchanges[i];
    std::fprintf(out,
                 "\nInterchange %d: offset %u, length %u, sender \"%s\", receiver \"%s\", terminator %d\n"
                 "  segments %d, groups %d closed against IEA01 %d%s, TA1 %d\n",
                 i, EntryOffset(ic.start), EntryOffset(ic.length), HeaderField(ic, 35, 15).c_str(),
                 HeaderField(ic, 54, 15).c_str(), ic.terminator, ic.segmentCount, ic.groupsClosed,
                 ic.ieaGroupCount, Agreement(ic.groupsClosed, ic.ieaGroupCount), ic.ta1Count);
    if (ic.length == 0) std::fprintf(out, "  (no IEA: the interchange is not closed)\n");
    for (int32_t t = ic.firstTa1; t > 0 && t < ic.firstTa1 + ic.ta1Count && ta1s.Has(t); ++t) {
      const Ta1Entry& ta1 = ta1s[t];
      std::fprintf(out, "  TA1 %d: control %s, date %s, time %s, ack %s, note %s, segment %d\n", t,
                   ta1.controlNumber, ta1.date, ta1.time, ta1.ackCode, ta1.noteCode, ta1.segmentNumber);
    }
    for (; g <= groupCount && groups[g].interchange == i; ++g) {
      const GroupEntry& gr = groups[g];
      std::fprintf(out,
                   "  Group %d: %s, sender \"%s\", receiver \"%s\", control %d, segments %d,"
                   " sets %d closed against GE01 %d%s\n",
                   g, gr.functionalId, gr.senderCode, gr.receiverCode, gr.controlNumber, gr.segmentCount,
                   gr.setsClosed, gr.geSetCount, Agreement(gr.setsClosed, gr.geSetCount));
      if (gr.length == 0) std::fprintf(out, "    (no GE: the group is not closed)\n");
      for (; s <= setCount && sets[s].group == g; ++s) PrintSet(out, s, sets[s], "    ");
    }
  }
  return code == kScanOk ? 0 : kInspectScanFailed;
}
