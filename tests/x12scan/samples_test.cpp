// Every public sample file scans with the result its contents call for, and
// its tables agree with what the file says about itself.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "x12scan.h"

#ifndef X12_SAMPLES_DIR
#error "X12_SAMPLES_DIR must name the folder of sample 835 files"
#endif

namespace {

struct Sample {
  const char* file;
  int32_t code;
  int32_t claims;  // CLP segments in 835 sets
  int32_t sets;
};

// bcbsnc has no ISA at all; the stupidedi pipe file has a 31-character ISA06,
// so its header is not the fixed 105 characters and is never accepted.
const Sample kSamples[] = {
    {"bcbsnc-st-only-no-envelope.edi", 101, 0, 0},
    {"emedny-isa13-iea02-mismatch-one-line.edi", 0, 2, 1},
    {"emedny-newline-segment-terminator-5010.edi", 0, 3, 1},
    {"emedny-outpatient-retro-5010-crlf.edi", 0, 2, 1},
    {"emedny-pharmacy-5010-one-line.edi", 0, 3, 1},
    {"emedny-profee-5010-one-line.edi", 0, 3, 1},
    {"lfh-managed-care-5010-lf.835", 0, 2, 1},
    {"oopfactory-example1-4010-bom-crlf-indented.txt", 0, 10, 1},
    {"oopfactory-inline-placeholders-5010-one-line.edi", 0, 1, 1},
    {"oopfactory-nth-deident-01-masked-crlf-indented.txt", 0, 96, 1},
    {"pyx12-835-mult-loops-5010.edi", 0, 1, 1},
    {"pyx12-835-simple-4010-reversals.edi", 0, 3, 1},
    {"pyx12-997-ta1-ack-for-835-simple.edi", 0, 0, 1},
    {"stupidedi-4010-pipe-oversized-isa06.edi", 101, 0, 0},
    {"stupidedi-5010-dental-9-claims-one-line.edi", 0, 9, 1},
    {"stupidedi-5010-x221-preamble-text-crlf.edi", 0, 2, 1},
    {"uhc-legacy-5010-one-line-gt-component.edi", 0, 2, 1},
};

TEST(Samples, ScanWithConsistentTables) {
  for (const Sample& sample : kSamples) {
    SCOPED_TRACE(sample.file);
    const std::string path = std::string(X12_SAMPLES_DIR) + "/" + sample.file;
    InterchangeTable interchanges;
    Ta1Table ta1s;
    GroupTable groups;
    SetTable sets;
    const int32_t code = ScanX12File(path, "", "", interchanges, ta1s, groups, sets, ProgressTarget());
    ASSERT_EQ(code, sample.code);
    if (code != 0) {
      EXPECT_EQ(interchanges.Count(), 1);
      continue;
    }
    const std::string text = ReadWholeFile(path);
    ASSERT_EQ(sets.Count(), sample.sets);
    int32_t claims = 0;
    for (int32_t s = 1; s <= sets.Count(); ++s) {
      const SetEntry& set = sets[s];
      EXPECT_EQ(set.segmentCount, set.seSegmentCount);
      if (std::strcmp(set.setId, "835") == 0) claims += set.loopCount1;
      // The set's recorded span runs from its ST through its SE terminator.
      const std::string setText = ReadTransactionSetText(path, set);
      EXPECT_EQ(setText.substr(0, 3), std::string("ST") + interchanges[set.interchange].isaText[3]);
      EXPECT_EQ(setText.back(), static_cast<char>(interchanges[set.interchange].terminator));
      EXPECT_NE(setText.rfind("SE"), std::string::npos);
    }
    EXPECT_EQ(claims, sample.claims);
    for (int32_t g = 1; g <= groups.Count(); ++g) EXPECT_EQ(groups[g].setsClosed, groups[g].geSetCount);
    for (int32_t i = 1; i <= interchanges.Count(); ++i) {
      const InterchangeEntry& ic = interchanges[i];
      EXPECT_EQ(ic.groupsClosed, ic.ieaGroupCount);
      EXPECT_EQ(text.compare(EntryOffset(ic.start), 3, "ISA"), 0);
      const size_t end = EntryOffset(ic.start) + EntryOffset(ic.length);
      ASSERT_LE(end, text.size());
      EXPECT_EQ(text[end - 1], static_cast<char>(ic.terminator));
    }
  }
}

}  // namespace
