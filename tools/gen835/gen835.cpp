// gen835: writes synthetic ANSI X12 835 (Health Care Claim Payment/Advice,
// 005010X221A1) files for testing the de-identifier on realistic input.
//
// Every person, organisation, address and identifier is invented: names are
// built from syllable lists, social security numbers use the never-issued
// 9xx area, NPIs are random but carry a valid check digit. Amounts are kept in
// integer cents and balance exactly:
//   - each service line: SVC02 - SVC03 = sum of the line's CAS amounts;
//   - each claim: CLP03 = sum of SVC02, and CLP03 - CLP04 = sum of all CAS
//     amounts of the claim (claim level plus service level). Claims without a
//     claim-level CAS (all but secondary/tertiary ones) therefore also have
//     CLP04 = sum of SVC03; for those with one, CLP04 = sum of SVC03 minus it;
//   - CLP05 = sum of the claim's CAS amounts in group PR;
//   - each set: BPR02 = sum of CLP04 minus the PLB amounts.
//
// Output is streamed through a fixed-size buffer, so memory use does not grow
// with the amount of data written (--size-mb 500 runs in a few MB of memory).
//
// The bundled example examples/example.835 is regenerated with:
//   gen835 --claims 12 --claims-per-set 6 --seed 844 --newline crlf -o examples/example.835
//
// Build: g++ -std=c++17 -O2 -o gen835 gen835.cpp

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kExitUsage = 2;

// ------------------------------------------------------------------ randomness

uint64_t splitmix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// Kinds of independent random streams. Each claim, set and interchange gets
// its own stream derived from (run seed, kind, index), so any of them can be
// regenerated on its own: the set writer relies on this to compute the payment
// total before writing the claims (see writeSet).
enum StreamKind : uint64_t {
    kStreamClaimAmounts = 1,
    kStreamClaimText = 2,
    kStreamSet = 3,
    kStreamInterchange = 4,
    kStreamRun = 5,
};

uint64_t streamSeed(uint64_t seed, uint64_t kind, uint64_t index) {
    return splitmix64(splitmix64(splitmix64(seed) + kind) + index);
}

class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}

    uint64_t next() {
        state_ += 0x9E3779B97F4A7C15ULL;
        uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    // Uniform in [0, n).
    uint32_t below(uint32_t n) { return uint32_t((uint64_t(uint32_t(next() >> 32)) * n) >> 32); }

    // Uniform in [lo, hi].
    int64_t between(int64_t lo, int64_t hi) { return lo + int64_t(next() % uint64_t(hi - lo + 1)); }

    bool percent(unsigned p) { return below(100) < p; }

    template <class T, size_t N>
    const T& pick(const T (&items)[N]) { return items[below(uint32_t(N))]; }

private:
    uint64_t state_;
};

// ------------------------------------------------------------------ calendar

struct Date {
    int year;
    unsigned month;
    unsigned day;
};

// Days since 1970-01-01 <-> civil date (proleptic Gregorian).
int64_t daysFromCivil(const Date& date) {
    const int y = date.year - (date.month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned mp = date.month > 2 ? date.month - 3 : date.month + 9;
    const unsigned doy = (153 * mp + 2) / 5 + date.day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return int64_t(era) * 146097 + int64_t(doe) - 719468;
}

Date civilFromDays(int64_t days) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = unsigned(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned day = doy - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    const int year = int(int64_t(yoe) + era * 400) + (month <= 2 ? 1 : 0);
    return Date{year, month, day};
}

// ------------------------------------------------------------------ options

enum class Newline { None, Lf, CrLf };

struct Delimiters {
    unsigned char element;
    unsigned char sub;
    unsigned char term;
    unsigned char repetition;  // ISA11; never used inside the data
};

struct Options {
    uint64_t claims = 10;
    bool claimsGiven = false;
    double sizeMb = 0;  // > 0: write until the output reaches this size instead of --claims
    uint32_t claimsPerSet = 50;
    uint32_t setsPerGroup = 0;          // 0: as many as needed
    uint32_t groupsPerInterchange = 0;  // 0: as many as needed
    uint32_t interchanges = 1;
    uint64_t seed = 1;
    Delimiters delimiters{'*', ':', '~', '^'};
    Newline newline = Newline::None;
    uint32_t foldWidth = 0;  // 0: no folding
    std::string preamble;
    bool with997 = false;
    bool cycleSeparators = false;
    bool otherIds = false;  // NM1 GB, more claim REFs, PLB references quoting claims
    std::string outputPath;  // empty: standard output
};

// Delimiter sets that --separators-per-interchange cycles through after the
// chosen one. None of them contains CR or LF, so they combine with any
// --newline and --fold setting.
constexpr Delimiters kAlternateDelimiters[] = {
    {'*', ':', '~', '^'},
    {'|', '^', '~', '{'},
    {'^', '>', '!', '{'},
    {'+', ':', '\'', '^'},
    {0x1D, 0x1F, 0x1C, '^'},
};

// Every character that can occur inside generated element data. A delimiter
// must not be one of them, or the output could not be split again.
bool occursInData(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ' ||
           c == '.' || c == '-';
}

std::string describeByte(unsigned char c) {
    char text[16];
    if (c > 0x20 && c < 0x7F)
        std::snprintf(text, sizeof text, "'%c'", c);
    else
        std::snprintf(text, sizeof text, "0x%02x", c);
    return text;
}

// Returns an error message, or an empty string when the delimiters are usable
// together with the newline and fold settings.
std::string checkDelimiters(const Delimiters& d, Newline newline, uint32_t foldWidth) {
    const struct {
        const char* name;
        unsigned char value;
    } roles[] = {{"element separator", d.element}, {"sub-element separator", d.sub}, {"segment terminator", d.term}};
    for (const auto& role : roles) {
        if (role.value == 0) return std::string(role.name) + " cannot be NUL";
        if (occursInData(role.value))
            return std::string(role.name) + " " + describeByte(role.value) +
                   " also occurs in the data (letters, digits, space, '.' and '-' are not allowed)";
    }
    if (d.element == d.sub || d.element == d.term || d.sub == d.term)
        return "element separator, sub-element separator and segment terminator must all differ";

    // Bytes added around the X12 data: a reader drops them, so they must not
    // double as a separator.
    const bool newlineHasLf = newline != Newline::None;
    const bool newlineHasCr = newline == Newline::CrLf;
    for (unsigned char c : {d.element, d.sub}) {
        if ((c == '\n' && (newlineHasLf || foldWidth)) || (c == '\r' && (newlineHasCr || foldWidth)))
            return "a separator " + describeByte(c) + " clashes with the line breaks of --newline/--fold";
    }
    if (foldWidth && newline != Newline::None)
        return "--fold already cuts the data into lines; it cannot be combined with --newline";
    if (foldWidth && (d.term == '\n' || d.term == '\r'))
        return "--fold inserts CR LF, so the segment terminator cannot be CR or LF";
    // CR as terminator followed by an LF line break is the common "CR LF"
    // layout; any other repeat of the terminator would produce empty segments.
    if ((d.term == '\n' && newlineHasLf) || (d.term == '\r' && newlineHasCr))
        return "--newline repeats the segment terminator " + describeByte(d.term) + " (empty segments)";
    return {};
}

// ------------------------------------------------------------------ output

// Final byte stream: counts bytes, optionally folds the X12 data into
// physical lines of a fixed width ending in CR LF (as a mainframe transfer
// would), and writes to the file.
class ByteSink {
public:
    ByteSink(std::FILE* file, uint32_t foldWidth) : file_(file), foldWidth_(foldWidth) {
        if (foldWidth_) folded_.reserve((size_t(4) << 20) + (size_t(4) << 20) / foldWidth_ * 2 + 1024);
    }

    // Bytes written as they are, never folded (the preamble).
    void writeVerbatim(const char* data, size_t size) { emit(data, size); }

    void write(const char* data, size_t size) {
        if (!foldWidth_) {
            emit(data, size);
            return;
        }
        folded_.clear();
        while (size) {
            const size_t take = std::min<size_t>(size, foldWidth_ - column_);
            folded_.append(data, take);
            data += take;
            size -= take;
            column_ += take;
            if (column_ == foldWidth_) {
                folded_.append("\r\n", 2);
                column_ = 0;
            }
        }
        emit(folded_.data(), folded_.size());
    }

    // Ends the last physical line when folding.
    void finish() {
        if (foldWidth_ && column_) emit("\r\n", 2);
        column_ = 0;
    }

    // Size of the output once `pending` more data bytes have gone through write().
    uint64_t projectedSize(uint64_t pending) const {
        if (!foldWidth_) return written_ + pending;
        return written_ + pending + 2 * ((column_ + pending) / foldWidth_);
    }

    bool failed() const { return failed_; }

private:
    void emit(const char* data, size_t size) {
        written_ += size;
        if (file_ && !failed_ && std::fwrite(data, 1, size, file_) != size) failed_ = true;
    }

    std::FILE* file_;  // null: only count (used to estimate claim size)
    uint32_t foldWidth_;
    uint64_t column_ = 0;
    uint64_t written_ = 0;
    bool failed_ = false;
    std::string folded_;
};

// Formats segments straight into a large buffer and hands it to the sink in
// big chunks. Usage: begin("CLP"); el("A").amount(12345)...; end();
// el() with no argument starts an element whose text follows via raw().
class SegmentWriter {
public:
    SegmentWriter(ByteSink& sink, Newline newline) : sink_(sink), buffer_(kFlushAt + kSlack) {
        if (newline == Newline::Lf) newline_ = "\n";
        if (newline == Newline::CrLf) newline_ = "\r\n";
    }

    void setDelimiters(const Delimiters& delimiters) { d_ = delimiters; }
    const Delimiters& delimiters() const { return d_; }

    void begin(std::string_view tag) {
        if (length_ >= kFlushAt) flush();
        put(tag);
        ++segments_;
    }
    void end() {
        put(char(d_.term));
        put(newline_);
    }

    SegmentWriter& el() {
        put(char(d_.element));
        return *this;
    }
    SegmentWriter& el(std::string_view text) {
        put(char(d_.element));
        put(text);
        return *this;
    }
    SegmentWriter& empty(unsigned count) {
        for (unsigned i = 0; i < count; ++i) put(char(d_.element));
        return *this;
    }
    SegmentWriter& number(uint64_t value, unsigned minDigits = 0) {
        put(char(d_.element));
        return rawNumber(value, minDigits);
    }
    SegmentWriter& amount(int64_t cents) {
        put(char(d_.element));
        return rawAmount(cents);
    }
    SegmentWriter& date8(const Date& date) {
        put(char(d_.element));
        rawNumber(uint64_t(date.year), 4);
        rawNumber(date.month, 2);
        return rawNumber(date.day, 2);
    }
    // Starts a component of a composite element.
    SegmentWriter& component(std::string_view text) {
        put(char(d_.sub));
        put(text);
        return *this;
    }

    SegmentWriter& raw(std::string_view text) {
        put(text);
        return *this;
    }
    SegmentWriter& rawChar(char c) {
        put(c);
        return *this;
    }
    SegmentWriter& rawNumber(uint64_t value, unsigned minDigits = 0) {
        char digits[24];
        unsigned count = 0;
        do {
            digits[count++] = char('0' + value % 10);
            value /= 10;
        } while (value);
        while (count < minDigits && count < sizeof digits) digits[count++] = '0';
        while (count) put(digits[--count]);
        return *this;
    }
    // X12 decimal: no trailing zeros after the point, no point for whole
    // amounts ("125", "125.5", "125.05"); zero is "0", never "-0".
    SegmentWriter& rawAmount(int64_t cents) {
        uint64_t magnitude = uint64_t(cents);
        if (cents < 0) {
            put('-');
            magnitude = 0 - magnitude;
        }
        rawNumber(magnitude / 100);
        const unsigned fraction = unsigned(magnitude % 100);
        if (fraction) {
            put('.');
            put(char('0' + fraction / 10));
            if (fraction % 10) put(char('0' + fraction % 10));
        }
        return *this;
    }

    // Segments begun since the last resetSegmentCount(); SE01 is read right
    // after begin("SE"), so it includes the SE itself.
    void resetSegmentCount() { segments_ = 0; }
    uint64_t segmentCount() const { return segments_; }

    uint64_t projectedSize() const { return sink_.projectedSize(length_); }

    void flush() {
        sink_.write(buffer_.data(), length_);
        length_ = 0;
    }

private:
    // Data goes to the sink in chunks of about this size.
    static constexpr size_t kFlushAt = size_t(4) << 20;
    // Headroom after kFlushAt; far longer than any segment this program writes,
    // so put() needs no bounds check.
    static constexpr size_t kSlack = size_t(64) << 10;

    void put(char c) { buffer_[length_++] = c; }
    void put(std::string_view text) {
        std::memcpy(buffer_.data() + length_, text.data(), text.size());
        length_ += text.size();
    }

    ByteSink& sink_;
    std::vector<char> buffer_;
    size_t length_ = 0;
    Delimiters d_{};
    std::string_view newline_ = "";  // non-null data: put() hands it to memcpy
    uint64_t segments_ = 0;
};

// ------------------------------------------------------------------ invented vocabulary

constexpr const char* kFirstStart[] = {"AL", "BEL", "CA", "DA", "EL", "FEN", "GA", "HAL", "IR", "JA", "KEL", "LO", "MA",
                                       "NO", "OR", "PA", "QUI", "RO", "SA", "TA", "UL", "VA", "WEN", "YO", "ZE"};
constexpr const char* kFirstEnd[] = {"RA", "NA", "LO", "VIN", "DRA", "SEN", "LIA", "RIK", "MON", "TEO", "BEL", "RIS",
                                     "NEL", "DOR", "SA", "TIN", "VEL", "MI"};
constexpr const char* kLastStart[] = {"BRA", "DO", "VEK", "MOR", "TAN", "KIL", "SOR", "VAN", "DRE", "LUM", "PAX",
                                      "QUO", "REN", "STA", "TOL", "WIX", "ZAR", "NOV", "GRE", "HOL", "OKA", "FRI"};
constexpr const char* kLastMiddle[] = {"LI", "VA", "NO", "DE", "RA", "TU", "MI", "KO"};
constexpr const char* kLastEnd[] = {"SON", "MAN", "ER", "OVA", "ESCU", "ANDO", "ICK", "WELL", "BERG", "ETTI", "AZ",
                                    "URA"};
constexpr const char* kNameSuffixes[] = {"JR", "SR", "II", "III"};
constexpr const char* kPlaceStart[] = {"ASH", "BRY", "COR", "DUN", "ELM", "FAR", "GLEN", "HAR", "IVY", "KES",
                                       "LAR", "MER", "NOR", "OAK", "PEL", "QUA", "RIV", "SIL", "TOR", "WEST"};
constexpr const char* kPlaceEnd[] = {"DALE", "FORD", "VILLE", "TON", "MOOR", "WICK", "HAVEN", "BROOK", "MONT", "FIELD"};
constexpr const char* kPayerKinds[] = {"HEALTH PLAN", "MUTUAL", "BENEFIT ADMINISTRATORS", "CARE ASSURANCE",
                                       "COMMUNITY HEALTH"};
constexpr const char* kPayeeKinds[] = {"MEDICAL GROUP", "FAMILY CLINIC", "ORTHOPEDICS", "PEDIATRICS PC",
                                       "INTERNAL MEDICINE", "IMAGING CENTER"};
constexpr const char* kStreetKinds[] = {"ST", "AVE", "RD", "BLVD", "LN", "WAY", "DR"};
constexpr const char* kStates[] = {"AL", "AZ", "CA", "CO", "FL", "GA", "IL", "IN", "KS", "MA", "MI", "MN",
                                   "MO", "NC", "NJ", "NY", "OH", "OR", "PA", "TN", "TX", "VA", "WA", "WI"};
constexpr const char* kFilingIndicators[] = {"MC", "12", "13", "16", "MA", "MB", "HM", "CI", "BL"};
constexpr const char* kDenialReasons[] = {"50", "96", "97", "204", "16", "29"};
constexpr const char* kModifiers[] = {"25", "59", "LT", "RT", "26", "TC"};

struct Procedure {
    const char* code;
    int64_t typicalCents;  // charge for one unit
    uint8_t maxUnits;
};

constexpr Procedure kProcedures[] = {
    {"99213", 12500, 1}, {"99214", 19000, 1}, {"99203", 17000, 1}, {"99204", 26000, 1}, {"99395", 23000, 1},
    {"36415", 1500, 1},  {"80053", 4500, 1},  {"85025", 3000, 1},  {"71046", 9500, 1},  {"93000", 6000, 1},
    {"90471", 3500, 2},  {"90686", 4000, 1},  {"97110", 8000, 4},  {"97140", 7500, 3},  {"20610", 18000, 2},
    {"11721", 6500, 1},  {"J1100", 1200, 10}, {"G0008", 3000, 1},  {"81002", 1000, 1},  {"87880", 3800, 1},
    {"73721", 90000, 1}, {"70450", 65000, 1},
};

// ------------------------------------------------------------------ claim amounts

constexpr unsigned kMaxServiceLines = 4;
constexpr unsigned kMaxLineAdjustments = 4;
constexpr unsigned kMaxProviderAdjustments = 4;

struct Adjustment {
    const char* group;  // CAS01: CO, PR, OA
    const char* reason;
    int64_t cents;
};

struct ServiceLine {
    uint8_t procedure;  // index into kProcedures
    int8_t modifier;    // index into kModifiers, -1 for none
    uint8_t units;
    uint8_t dayOffset;  // service date = claim start + offset
    int64_t charge;
    int64_t paid;
    int64_t allowed;
    Adjustment adjustments[kMaxLineAdjustments];  // grouped by CAS01, in order
    uint8_t adjustmentCount;
};

// Money and shape of one claim. Text (names, identifiers) is drawn from a
// separate stream while writing, so computing a set's total stays cheap.
struct ClaimAmounts {
    const char* status;  // CLP02
    uint8_t lineCount;
    ServiceLine lines[kMaxServiceLines];
    bool hasClaimAdjustment;
    Adjustment claimAdjustment;
    int64_t charge;
    int64_t paid;
    int64_t patientResponsibility;
    int64_t allowed;
};

int64_t percentOf(int64_t cents, int64_t percent) { return cents * percent / 100; }

ServiceLine makeServiceLine(Rng& rng, bool denied) {
    ServiceLine line{};
    line.procedure = uint8_t(rng.below(uint32_t(std::size(kProcedures))));
    const Procedure& procedure = kProcedures[line.procedure];
    line.modifier = rng.percent(20) ? int8_t(rng.below(uint32_t(std::size(kModifiers)))) : int8_t(-1);
    line.units = uint8_t(procedure.maxUnits > 1 ? rng.between(1, procedure.maxUnits) : 1);
    line.dayOffset = uint8_t(rng.below(4));

    int64_t unitCharge = percentOf(procedure.typicalCents, rng.between(85, 140));
    if (rng.percent(60)) unitCharge = std::max<int64_t>(100, unitCharge / 100 * 100);  // whole dollars
    line.charge = unitCharge * line.units;

    auto add = [&line](const char* group, const char* reason, int64_t cents) {
        if (cents != 0) line.adjustments[line.adjustmentCount++] = Adjustment{group, reason, cents};
    };

    if (denied) {
        add("CO", rng.pick(kDenialReasons), line.charge);
        return line;
    }
    if (rng.percent(5)) {  // paid as billed: no adjustment at all
        line.allowed = line.paid = line.charge;
        return line;
    }
    line.allowed = percentOf(line.charge, rng.between(45, 95));
    const int64_t deductible = rng.percent(25) ? std::min(line.allowed, rng.between(10, 150) * 100) : 0;
    const int64_t coinsurance = rng.percent(45) ? (line.allowed - deductible) / 5 : 0;
    const int64_t copay =
        rng.percent(15) ? std::min(line.allowed - deductible - coinsurance, rng.between(10, 40) * 100) : 0;
    line.paid = line.allowed - deductible - coinsurance - copay;
    add("CO", "45", line.charge - line.allowed);
    add("PR", "1", deductible);
    add("PR", "2", coinsurance);
    add("PR", "3", copay);
    return line;
}

ClaimAmounts makeClaimAmounts(Rng& rng) {
    ClaimAmounts claim{};
    const uint32_t roll = rng.below(100);
    const bool reversal = roll < 4;
    const bool denied = roll >= 4 && roll < 11;
    const bool secondary = roll >= 11 && roll < 23;
    const bool tertiary = roll >= 23 && roll < 25;
    claim.status = reversal ? "22" : denied ? "4" : secondary ? "2" : tertiary ? "3" : "1";

    const uint32_t lineRoll = rng.below(100);
    claim.lineCount = lineRoll < 45 ? 1 : lineRoll < 75 ? 2 : lineRoll < 90 ? 3 : 4;
    bool anyPaidLine = false;
    for (unsigned i = 0; i < claim.lineCount; ++i) {
        // Primary claims sometimes have single lines denied.
        const bool deniedLine = denied || (!secondary && !tertiary && rng.percent(6));
        ServiceLine& line = claim.lines[i] = makeServiceLine(rng, deniedLine);
        claim.charge += line.charge;
        claim.paid += line.paid;
        claim.allowed += line.allowed;
        for (unsigned a = 0; a < line.adjustmentCount; ++a)
            if (std::strcmp(line.adjustments[a].group, "PR") == 0) claim.patientResponsibility += line.adjustments[a].cents;
        anyPaidLine = anyPaidLine || !deniedLine;
    }
    if (!anyPaidLine && !reversal) claim.status = "4";

    // The prior payer's share of a secondary/tertiary claim is reported once,
    // at claim level, and reduces CLP04 below the sum of the line payments.
    if ((secondary || tertiary) && claim.paid > 0) {
        const int64_t priorPayerShare = percentOf(claim.paid, rng.between(20, 70));
        if (priorPayerShare > 0) {
            claim.hasClaimAdjustment = true;
            claim.claimAdjustment = Adjustment{"OA", "23", priorPayerShare};
            claim.paid -= priorPayerShare;
        }
    }

    if (reversal) {  // takes back an earlier payment: every amount negated
        claim.charge = -claim.charge;
        claim.paid = -claim.paid;
        claim.allowed = -claim.allowed;
        claim.patientResponsibility = -claim.patientResponsibility;
        for (unsigned i = 0; i < claim.lineCount; ++i) {
            ServiceLine& line = claim.lines[i];
            line.charge = -line.charge;
            line.paid = -line.paid;
            line.allowed = -line.allowed;
            for (unsigned a = 0; a < line.adjustmentCount; ++a) line.adjustments[a].cents = -line.adjustments[a].cents;
        }
    }
    return claim;
}

// PLB: provider-level adjustments. A positive amount reduces the payment, a
// negative one increases it.
struct ProviderAdjustment {
    const char* reason;
    int64_t cents;
    bool hasReference;
};

struct ProviderAdjustments {
    ProviderAdjustment items[kMaxProviderAdjustments];
    unsigned count = 0;
    int64_t total = 0;

    void add(const char* reason, int64_t cents, bool hasReference) {
        if (cents == 0) return;
        items[count++] = ProviderAdjustment{reason, cents, hasReference};
        total += cents;
    }
};

ProviderAdjustments makeProviderAdjustments(Rng& rng, int64_t claimsPaid) {
    ProviderAdjustments plb;
    if (claimsPaid > 0 && rng.percent(20)) plb.add("WO", rng.between(1, std::max<int64_t>(1, claimsPaid / 10)), true);
    if (rng.percent(15)) plb.add("L6", -rng.between(1, 2500), false);  // interest paid to the provider
    if (rng.percent(8)) plb.add("CS", rng.between(-5000, 5000), true);
    // BPR02 cannot be negative: a deficit is carried forward to a later payment.
    const int64_t net = claimsPaid - plb.total;
    if (net < 0) plb.add("FB", net, true);
    return plb;
}

// ------------------------------------------------------------------ text helpers

void putDigits(SegmentWriter& w, Rng& rng, unsigned count) {
    for (unsigned i = 0; i < count; ++i) w.rawChar(char('0' + rng.below(10)));
}

void putAlnum(SegmentWriter& w, Rng& rng, unsigned count) {
    static constexpr char kAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZ0123456789";
    for (unsigned i = 0; i < count; ++i) w.rawChar(kAlphabet[rng.below(sizeof kAlphabet - 1)]);
}

// The text putAlnum and putDigits write, drawn the same way.
std::string alnumText(Rng& rng, unsigned count) {
    static constexpr char kAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZ0123456789";
    std::string text;
    for (unsigned i = 0; i < count; ++i) text += kAlphabet[rng.below(sizeof kAlphabet - 1)];
    return text;
}

std::string digitText(Rng& rng, unsigned count) {
    std::string text;
    for (unsigned i = 0; i < count; ++i) text += char('0' + rng.below(10));
    return text;
}

void putLetters(SegmentWriter& w, Rng& rng, unsigned count) {
    for (unsigned i = 0; i < count; ++i) w.rawChar(char('A' + rng.below(26)));
}

void putFirstName(SegmentWriter& w, Rng& rng) { w.raw(rng.pick(kFirstStart)).raw(rng.pick(kFirstEnd)); }

void putLastName(SegmentWriter& w, Rng& rng) {
    w.raw(rng.pick(kLastStart));
    if (rng.percent(40)) w.raw(rng.pick(kLastMiddle));
    w.raw(rng.pick(kLastEnd));
}

void putPlaceName(SegmentWriter& w, Rng& rng) { w.raw(rng.pick(kPlaceStart)).raw(rng.pick(kPlaceEnd)); }

void putMemberId(SegmentWriter& w, Rng& rng) {
    if (rng.percent(50)) {
        w.rawChar('W');
        putDigits(w, rng, 9);
    } else {
        putLetters(w, rng, 3);
        putDigits(w, rng, 8);
    }
}

// Ten digits starting with 1 or 2 whose last digit is the Luhn check digit
// over the prefix 80840, as real NPIs have.
struct Npi {
    char digits[10];
    std::string_view text() const { return std::string_view(digits, sizeof digits); }
};

Npi makeNpi(Rng& rng) {
    Npi npi;
    npi.digits[0] = char('1' + rng.below(2));
    for (unsigned i = 1; i < 9; ++i) npi.digits[i] = char('0' + rng.below(10));
    unsigned sum = 24;  // contribution of the 80840 prefix
    for (unsigned i = 0; i < 9; ++i) {
        unsigned digit = unsigned(npi.digits[8 - i] - '0');
        if (i % 2 == 0) {
            digit *= 2;
            if (digit > 9) digit -= 9;
        }
        sum += digit;
    }
    npi.digits[9] = char('0' + (10 - sum % 10) % 10);
    return npi;
}

// Area 900-999 with group 01-49 is never issued, neither as SSN nor as ITIN.
void putInvalidSsn(SegmentWriter& w, Rng& rng) {
    w.rawNumber(uint64_t(rng.between(900, 999)), 3);
    w.rawNumber(uint64_t(rng.between(1, 49)), 2);
    w.rawNumber(uint64_t(rng.between(1, 9999)), 4);
}

void putStreet(SegmentWriter& w, Rng& rng) {
    w.rawNumber(uint64_t(rng.between(10, 9899)));
    w.rawChar(' ');
    putPlaceName(w, rng);
    w.rawChar(' ').raw(rng.pick(kStreetKinds));
}

void writeCityStateZip(SegmentWriter& w, Rng& rng) {
    w.begin("N4");
    w.el();
    putPlaceName(w, rng);
    w.el(rng.pick(kStates)).el();
    putDigits(w, rng, rng.percent(50) ? 5 : 9);
    w.end();
}

// ------------------------------------------------------------------ generator

// A REF qualifier the claim may carry, how often, and how its value looks.
struct ReferenceKind {
    const char* qualifier;
    unsigned percent;
    void (*writeValue)(SegmentWriter&, Rng&);
};

struct InterchangeInfo {
    uint64_t index;
    Date date;
    unsigned hour;
    unsigned minute;
    std::string senderCode;    // GS02
    std::string receiverCode;  // GS03
};

class Generator {
public:
    Generator(const Options& options, SegmentWriter& out) : options_(options), out_(out) {
        Rng rng(streamSeed(options.seed, kStreamRun, 0));
        interchangeControlBase_ = uint64_t(rng.between(100000, 800000000));
        buildDelimiterCycle();
    }

    void run() {
        const bool sizeMode = options_.sizeMb > 0;
        const double targetBytes = options_.sizeMb * 1e6;
        if (sizeMode) calibratedBytesPerClaim_ = measureBytesPerClaim();
        const uint64_t start = out_.projectedSize();

        // The total (claims or bytes) is split evenly over --interchanges; each
        // share is then packed into sets, groups and interchanges, opening a
        // new group or interchange whenever a --*-per-* cap is reached.
        for (uint32_t share = 0; share < options_.interchanges; ++share) {
            uint64_t claimsLeft = options_.claims / options_.interchanges +
                                  (share < options_.claims % options_.interchanges ? 1 : 0);
            const double shareEnd = double(start) + targetBytes * (share + 1) / options_.interchanges;
            bool shareStarted = false;
            auto shareDone = [&] {
                if (!shareStarted) return false;  // every share holds at least one claim
                return sizeMode ? double(out_.projectedSize()) >= shareEnd : claimsLeft == 0;
            };
            auto nextSetSize = [&]() -> uint64_t {
                if (!sizeMode) return std::min<uint64_t>(options_.claimsPerSet, claimsLeft);
                const double perClaim = claimsWritten_ ? double(out_.projectedSize() - start) / double(claimsWritten_)
                                                       : calibratedBytesPerClaim_;
                const double wanted = std::ceil((shareEnd - double(out_.projectedSize())) / perClaim);
                return uint64_t(std::clamp(wanted, 1.0, double(options_.claimsPerSet)));
            };

            while (!shareDone()) {
                const InterchangeInfo interchange = openInterchange();
                for (uint32_t groups = 0; !shareDone() && withinCap(groups, options_.groupsPerInterchange); ++groups) {
                    const uint64_t groupControl = openGroup("HP", interchange, "005010X221A1");
                    uint64_t sets = 0;
                    for (; !shareDone() && withinCap(sets, options_.setsPerGroup); ++sets) {
                        const uint64_t claims = nextSetSize();
                        writeSet(out_, setsWritten_, claimsWritten_, claims, sets + 1, interchange);
                        ++setsWritten_;
                        claimsWritten_ += claims;
                        claimsLeft -= std::min(claimsLeft, claims);
                        shareStarted = true;
                    }
                    closeGroup(sets, groupControl);
                }
                if (options_.with997) writeAcknowledgmentGroup(interchange);
                closeInterchange(interchange);
            }
        }
        out_.flush();
    }

private:
    static bool withinCap(uint64_t count, uint32_t cap) { return cap == 0 || count < cap; }

    void buildDelimiterCycle() {
        delimiterCycle_.push_back(options_.delimiters);
        if (!options_.cycleSeparators) return;
        for (const Delimiters& d : kAlternateDelimiters) {
            const Delimiters& chosen = options_.delimiters;
            if (d.element == chosen.element && d.sub == chosen.sub && d.term == chosen.term) continue;
            delimiterCycle_.push_back(d);
        }
    }

    // Average size of a claim including its share of set overhead, measured by
    // formatting one set into a counting sink. Used to size the first set of
    // a --size-mb run; later sets use the average of what was written.
    double measureBytesPerClaim() {
        ByteSink counter(nullptr, options_.foldWidth);
        SegmentWriter scratch(counter, options_.newline);
        scratch.setDelimiters(options_.delimiters);
        const uint64_t claims = std::min<uint64_t>(options_.claimsPerSet, 32);
        InterchangeInfo interchange{0, Date{2024, 6, 1}, 12, 0, "S", "R"};
        writeSet(scratch, 0, 0, claims, 1, interchange);
        return double(scratch.projectedSize()) / double(claims);
    }

    InterchangeInfo openInterchange() {
        InterchangeInfo info;
        info.index = interchangesWritten_++;
        Rng rng(streamSeed(options_.seed, kStreamInterchange, info.index));
        info.date = civilFromDays(daysFromCivil(Date{2023, 1, 1}) + rng.between(0, 900));
        info.hour = rng.below(24);
        info.minute = rng.below(60);
        out_.setDelimiters(delimiterCycle_[info.index % delimiterCycle_.size()]);
        const Delimiters& d = out_.delimiters();

        // ISA is fixed width: 105 characters up to and including ISA16.
        const bool taxIds = rng.percent(30);
        out_.begin("ISA");
        out_.el("00").el("          ").el("00").el("          ");
        out_.el(taxIds ? "30" : "ZZ").el();
        const unsigned senderLength = taxIds ? 9 : 8 + rng.below(5);
        if (taxIds)
            putDigits(out_, rng, senderLength);
        else
            putAlnum(out_, rng, senderLength);
        for (unsigned i = senderLength; i < 15; ++i) out_.rawChar(' ');
        out_.el("ZZ").el();
        const unsigned receiverLength = 6 + rng.below(10);
        putAlnum(out_, rng, receiverLength);
        for (unsigned i = receiverLength; i < 15; ++i) out_.rawChar(' ');
        out_.el().rawNumber(uint64_t(info.date.year % 100), 2).rawNumber(info.date.month, 2).rawNumber(info.date.day, 2);
        out_.el().rawNumber(info.hour, 2).rawNumber(info.minute, 2);
        out_.el().rawChar(char(d.repetition));
        out_.el("00501").number(interchangeControl(info.index), 9).el("0").el(rng.percent(90) ? "P" : "T");
        out_.el().rawChar(char(d.sub));
        out_.end();

        for (std::string* code : {&info.senderCode, &info.receiverCode}) {
            static constexpr char kAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZ0123456789";
            const unsigned length = 5 + rng.below(8);
            for (unsigned i = 0; i < length; ++i) code->push_back(kAlphabet[rng.below(sizeof kAlphabet - 1)]);
        }
        groupsInInterchange_ = 0;
        return info;
    }

    void closeInterchange(const InterchangeInfo& info) {
        out_.begin("IEA");
        out_.number(groupsInInterchange_).number(interchangeControl(info.index), 9);
        out_.end();
    }

    uint64_t interchangeControl(uint64_t index) const { return interchangeControlBase_ + index; }

    uint64_t openGroup(std::string_view functionalId, const InterchangeInfo& info, std::string_view version) {
        const uint64_t control = ++groupsWritten_;
        ++groupsInInterchange_;
        out_.begin("GS");
        out_.el(functionalId).el(info.senderCode).el(info.receiverCode).date8(info.date);
        out_.el().rawNumber(info.hour, 2).rawNumber(info.minute, 2);
        out_.number(control).el("X").el(version);
        out_.end();
        return control;
    }

    void closeGroup(uint64_t sets, uint64_t control) {
        out_.begin("GE");
        out_.number(sets).number(control);
        out_.end();
    }

    // One 835 transaction set. BPR02 comes before the claims but must equal
    // their total payment, so the claim amounts are generated twice from the
    // same per-claim seeds: once for the total, once while writing. That keeps
    // memory flat however many claims a set holds.
    void writeSet(SegmentWriter& w, uint64_t setIndex, uint64_t firstClaim, uint64_t claimCount, uint64_t stNumber,
                  const InterchangeInfo& interchange) const {
        int64_t claimsPaid = 0;
        for (uint64_t i = 0; i < claimCount; ++i) {
            Rng amountRng(streamSeed(options_.seed, kStreamClaimAmounts, firstClaim + i));
            claimsPaid += makeClaimAmounts(amountRng).paid;
        }

        Rng rng(streamSeed(options_.seed, kStreamSet, setIndex));
        const Date production = civilFromDays(daysFromCivil(interchange.date) - rng.between(0, 3));
        const ProviderAdjustments plb = makeProviderAdjustments(rng, claimsPaid);
        const int64_t payment = claimsPaid - plb.total;

        w.resetSegmentCount();
        w.begin("ST");
        w.el("835").number(stNumber, 4).el("005010X221A1");
        w.end();

        w.begin("BPR");
        if (payment == 0) {
            w.el("H").amount(0).el("C").el("NON");
            w.empty(11).date8(production);
        } else if (rng.percent(30)) {
            w.el("I").amount(payment).el("C").el("CHK");
            w.empty(11).date8(production);
        } else {
            w.el("I").amount(payment).el("C").el("ACH").el("CCP").el("01").el();
            putDigits(w, rng, 9);
            w.el("DA").el();
            putDigits(w, rng, 6 + rng.below(7));
            w.el().rawChar('1');
            putDigits(w, rng, 9);
            w.el().el("01").el();
            putDigits(w, rng, 9);
            w.el("DA").el();
            putDigits(w, rng, 6 + rng.below(7));
            w.date8(production);
        }
        w.end();

        w.begin("TRN");
        w.el("1").el();
        putDigits(w, rng, 8 + rng.below(8));
        w.el().rawChar('1');
        putDigits(w, rng, 9);
        w.end();

        w.begin("DTM");
        w.el("405").date8(production);
        w.end();

        w.begin("N1");
        w.el("PR").el();
        putPlaceName(w, rng);
        w.rawChar(' ').raw(rng.pick(kPayerKinds));
        w.end();
        w.begin("N3");
        w.el("PO BOX ").rawNumber(uint64_t(rng.between(100, 99999)));
        w.end();
        writeCityStateZip(w, rng);

        const Npi payeeNpi = makeNpi(rng);
        w.begin("N1");
        w.el("PE").el();
        putPlaceName(w, rng);
        w.rawChar(' ').raw(rng.pick(kPayeeKinds));
        w.el("XX").el(payeeNpi.text());
        w.end();
        w.begin("N3");
        w.el();
        putStreet(w, rng);
        w.end();
        writeCityStateZip(w, rng);
        w.begin("REF");
        w.el("TJ").el();
        putDigits(w, rng, 9);
        w.end();

        w.begin("LX");
        w.el("1");
        w.end();

        // With --other-ids: the claims' numbers (CLP01, CLP07), for PLB
        // references that quote them.
        std::vector<std::string> numbers;
        for (uint64_t i = 0; i < claimCount; ++i) {
            Rng amountRng(streamSeed(options_.seed, kStreamClaimAmounts, firstClaim + i));
            Rng textRng(streamSeed(options_.seed, kStreamClaimText, firstClaim + i));
            writeClaim(w, makeClaimAmounts(amountRng), textRng, production, options_.otherIds ? &numbers : nullptr);
        }

        if (plb.count) {
            w.begin("PLB");
            w.el(payeeNpi.text());
            w.date8(Date{production.year, 12, 31});
            for (unsigned i = 0; i < plb.count; ++i) {
                w.el(plb.items[i].reason);
                if (plb.items[i].hasReference) {
                    w.component("");
                    if (!numbers.empty() && rng.percent(70)) {
                        w.raw(numbers[rng.below(uint32_t(numbers.size()))]);
                    } else {
                        putAlnum(w, rng, 8 + rng.below(8));
                    }
                }
                w.amount(plb.items[i].cents);
            }
            w.end();
        }

        w.begin("SE");
        w.number(w.segmentCount()).number(stNumber, 4);
        w.end();
    }

    static void writeAdjustments(SegmentWriter& w, const Adjustment* adjustments, unsigned count) {
        // One CAS per group code, holding that group's reason/amount pairs.
        for (unsigned i = 0; i < count;) {
            const char* group = adjustments[i].group;
            w.begin("CAS");
            w.el(group);
            for (; i < count && std::strcmp(adjustments[i].group, group) == 0; ++i) {
                w.el(adjustments[i].reason).amount(adjustments[i].cents);
                // CAS04 (quantity) left empty; only written as a gap before the next pair.
                if (i + 1 < count && std::strcmp(adjustments[i + 1].group, group) == 0) w.el();
            }
            w.end();
        }
    }

    static void writePersonName(SegmentWriter& w, Rng& rng, const char* entity) {
        w.begin("NM1");
        w.el(entity).el("1").el();
        putLastName(w, rng);
        w.el();
        putFirstName(w, rng);
    }

    // `numbers`, when given, receives the claim's CLP01 and CLP07.
    void writeClaim(SegmentWriter& w, const ClaimAmounts& claim, Rng& rng, const Date& production,
                    std::vector<std::string>* numbers) const {
        const Date claimStart = civilFromDays(daysFromCivil(production) - rng.between(14, 120));

        w.begin("CLP");
        const unsigned submitterLength = 8 + rng.below(9);
        const std::string submitterId = alnumText(rng, submitterLength);
        w.el(submitterId);
        w.el(claim.status).amount(claim.charge).amount(claim.paid).amount(claim.patientResponsibility);
        w.el(rng.pick(kFilingIndicators));
        const unsigned controlLength = 12 + rng.below(4);
        const std::string controlNumber = digitText(rng, controlLength);
        w.el(controlNumber);
        w.el("11").el("1");
        w.end();
        if (numbers != nullptr) {
            numbers->push_back(submitterId);
            numbers->push_back(controlNumber);
        }

        if (claim.hasClaimAdjustment) writeAdjustments(w, &claim.claimAdjustment, 1);

        // Patient. A few payers send the name only, without NM108/NM109.
        writePersonName(w, rng, "QC");
        const uint32_t shape = rng.below(100);
        if (shape < 8) {
            if (shape < 4) w.el().rawChar(char('A' + rng.below(26)));
        } else {
            w.el();
            const uint32_t middle = rng.below(100);
            if (middle < 45)
                w.rawChar(char('A' + rng.below(26)));
            else if (middle < 65)
                putFirstName(w, rng);
            w.el().el();  // NM106 prefix (unused), NM107 suffix
            if (rng.percent(6)) w.raw(rng.pick(kNameSuffixes));
            w.el("MI").el();
            putMemberId(w, rng);
        }
        w.end();

        if (rng.percent(30)) {  // insured is someone else, e.g. a parent
            writePersonName(w, rng, "IL");
            w.el();
            if (rng.percent(50)) w.rawChar(char('A' + rng.below(26)));
            w.empty(2).el("MI").el();
            putMemberId(w, rng);
            w.end();
        }

        if (rng.percent(10)) {  // payer corrected the insured's name and/or ID
            const uint32_t shape74 = rng.below(10);
            if (shape74 < 2) {
                w.begin("NM1");
                w.el("74").el("1").empty(5).el("C").el();
                putMemberId(w, rng);
            } else {
                writePersonName(w, rng, "74");
                if (shape74 < 7) {
                    w.empty(3).el("C").el();
                    putMemberId(w, rng);
                }
            }
            w.end();
        }

        if (rng.percent(60)) {  // rendering provider
            if (rng.percent(15)) {
                w.begin("NM1");
                w.el("82").el("2").el();
                putPlaceName(w, rng);
                w.rawChar(' ').raw(rng.pick(kPayeeKinds));
                w.empty(4);
            } else {
                writePersonName(w, rng, "82");
                w.el();
                if (rng.percent(50)) w.rawChar(char('A' + rng.below(26)));
                w.empty(2);
            }
            w.el("XX").el(makeNpi(rng).text());
            w.end();
        }

        if (options_.otherIds && rng.percent(15)) {  // other subscriber (coordination of benefits)
            writePersonName(w, rng, "GB");
            w.el();
            if (rng.percent(50)) w.rawChar(char('A' + rng.below(26)));
            w.empty(2).el("MI").el();
            putMemberId(w, rng);
            w.end();
        }

        writeClaimReferences(w, rng);
        if (options_.otherIds) writeOtherClaimReferences(w, rng);

        if (rng.percent(70)) {
            uint8_t first = claim.lines[0].dayOffset, last = first;
            for (unsigned i = 1; i < claim.lineCount; ++i) {
                first = std::min(first, claim.lines[i].dayOffset);
                last = std::max(last, claim.lines[i].dayOffset);
            }
            w.begin("DTM");
            w.el("232").date8(civilFromDays(daysFromCivil(claimStart) + first));
            w.end();
            w.begin("DTM");
            w.el("233").date8(civilFromDays(daysFromCivil(claimStart) + last));
            w.end();
        }

        if (rng.percent(60)) {
            w.begin("AMT");
            w.el("AU").amount(claim.allowed);
            w.end();
        }

        for (unsigned i = 0; i < claim.lineCount; ++i) writeServiceLine(w, claim.lines[i], rng, claimStart);
    }

    static void writeClaimReferences(SegmentWriter& w, Rng& rng) {
        // Other claim identifiers, in the usual order; F8, CE and 9A are ones a
        // de-identifier typically leaves alone.
        static constexpr ReferenceKind kReferences[] = {
            {"EA", 40, [](SegmentWriter& out, Rng& r) { putAlnum(out, r, 6 + r.below(6)); }},  // medical record
            {"BB", 10, [](SegmentWriter& out, Rng& r) { putAlnum(out, r, 10); }},              // authorization
            {"1L", 30, [](SegmentWriter& out, Rng& r) { putAlnum(out, r, 5 + r.below(6)); }},  // group/policy
            {"1W", 20, [](SegmentWriter& out, Rng& r) { putMemberId(out, r); }},               // member id
            {"G3", 5, [](SegmentWriter& out, Rng& r) { putDigits(out, r, 10); }},              // predetermination
            {"SY", 5, [](SegmentWriter& out, Rng& r) { putInvalidSsn(out, r); }},              // social security
            {"A6", 5, [](SegmentWriter& out, Rng& r) { putDigits(out, r, 7); }},               // employee id
            {"F8", 10, [](SegmentWriter& out, Rng& r) { putDigits(out, r, 14); }},             // original reference
            {"CE", 5, [](SegmentWriter& out, Rng& r) { putLetters(out, r, 2); putDigits(out, r, 3); }},   // contract class
            {"9A", 5, [](SegmentWriter& out, Rng& r) { putAlnum(out, r, 12); }},               // repriced claim
            {"1G", 10, [](SegmentWriter& out, Rng& r) { putLetters(out, r, 1); putDigits(out, r, 5); }},  // provider UPIN
        };
        for (const auto& reference : kReferences) {
            if (!rng.percent(reference.percent)) continue;
            w.begin("REF");
            w.el(reference.qualifier).el();
            reference.writeValue(w, rng);
            w.end();
        }
    }

    // With --other-ids: claim identifiers of 5010 files beyond the usual ones.
    static void writeOtherClaimReferences(SegmentWriter& w, Rng& rng) {
        static constexpr ReferenceKind kReferences[] = {
            {"28", 5, [](SegmentWriter& out, Rng& r) { putDigits(out, r, 9); }},              // employee id
            {"6P", 10, [](SegmentWriter& out, Rng& r) { putAlnum(out, r, 6 + r.below(5)); }}, // group number
            {"IG", 10, [](SegmentWriter& out, Rng& r) { putAlnum(out, r, 10); }},              // policy number
            {"G1", 5, [](SegmentWriter& out, Rng& r) { putAlnum(out, r, 9); }},               // prior authorization
            {"9C", 3, [](SegmentWriter& out, Rng& r) { putAlnum(out, r, 12); }},              // adjusted repriced claim
        };
        for (const auto& reference : kReferences) {
            if (!rng.percent(reference.percent)) continue;
            w.begin("REF");
            w.el(reference.qualifier).el();
            reference.writeValue(w, rng);
            w.end();
        }
    }

    static void writeServiceLine(SegmentWriter& w, const ServiceLine& line, Rng& rng, const Date& claimStart) {
        w.begin("SVC");
        w.el("HC").component(kProcedures[line.procedure].code);
        if (line.modifier >= 0) w.component(kModifiers[line.modifier]);
        w.amount(line.charge).amount(line.paid).el().number(line.units);
        w.end();

        w.begin("DTM");
        w.el("472").date8(civilFromDays(daysFromCivil(claimStart) + line.dayOffset));
        w.end();

        writeAdjustments(w, line.adjustments, line.adjustmentCount);

        w.begin("REF");
        w.el("6R").el();
        putAlnum(w, rng, 6 + rng.below(10));
        w.end();

        w.begin("AMT");
        w.el("B6").amount(line.allowed);
        w.end();
    }

    // A GS*FA group with one 997 accepting an earlier claim submission.
    void writeAcknowledgmentGroup(const InterchangeInfo& interchange) {
        Rng rng(streamSeed(options_.seed, kStreamInterchange, interchange.index) ^ 0x997);
        const uint64_t control = openGroup("FA", interchange, "005010X230");
        out_.resetSegmentCount();
        out_.begin("ST");
        out_.el("997").el("0001").el("005010X230");
        out_.end();
        out_.begin("AK1");
        out_.el("HC").number(uint64_t(rng.between(1, 99999))).el("005010X222A1");
        out_.end();
        const unsigned acknowledged = 1 + rng.below(3);
        for (unsigned i = 1; i <= acknowledged; ++i) {
            out_.begin("AK2");
            out_.el("837").number(i, 4).el("005010X222A1");
            out_.end();
            out_.begin("AK5");
            out_.el("A");
            out_.end();
        }
        out_.begin("AK9");
        out_.el("A").number(acknowledged).number(acknowledged).number(acknowledged);
        out_.end();
        out_.begin("SE");
        out_.number(out_.segmentCount()).el("0001");
        out_.end();
        closeGroup(1, control);
    }

    const Options& options_;
    SegmentWriter& out_;
    std::vector<Delimiters> delimiterCycle_;
    uint64_t interchangeControlBase_ = 0;
    uint64_t interchangesWritten_ = 0;
    uint64_t groupsWritten_ = 0;
    uint64_t groupsInInterchange_ = 0;
    uint64_t setsWritten_ = 0;
    uint64_t claimsWritten_ = 0;
    double calibratedBytesPerClaim_ = 0;
};

// ------------------------------------------------------------------ command line

constexpr const char* kUsage =
    "Usage: gen835 [options]\n"
    "Writes synthetic, balanced ANSI X12 835 (005010X221A1) remittance data.\n"
    "All names, addresses and identifiers are invented.\n"
    "\n"
    "How much:\n"
    "  --claims N                   total number of claims (default 10)\n"
    "  --size-mb MB                 instead of --claims: write claims until the output\n"
    "                               reaches about MB megabytes (1 MB = 1,000,000 bytes)\n"
    "Envelopes:\n"
    "  --claims-per-set N           claims per ST/SE set (default 50)\n"
    "  --sets-per-group N           sets per GS/GE group (default: as many as needed)\n"
    "  --groups-per-interchange N   835 groups per ISA/IEA (default: as many as needed)\n"
    "  --interchanges N             spread the claims (or bytes) evenly over N interchanges\n"
    "                               (default 1); a share that fills the caps above opens\n"
    "                               further interchanges\n"
    "  --with-997                   add a GS*FA group with a 997 acknowledgment to every\n"
    "                               interchange\n"
    "  --other-ids                  also write other subscribers (NM1 GB), REF 28, 6P, IG,\n"
    "                               G1 and 9C, and PLB references that quote a claim's\n"
    "                               CLP01 or CLP07\n"
    "Delimiters and layout:\n"
    "  --element C                  element separator (default *)\n"
    "  --sub C                      sub-element separator (default :)\n"
    "  --term C                     segment terminator (default ~)\n"
    "                               C: one character, CR, LF, TAB, PIPE, or a code such as\n"
    "                               0x1d or 29\n"
    "  --separators-per-interchange cycle through several delimiter sets, one per\n"
    "                               interchange, starting with the chosen one\n"
    "  --newline none|lf|crlf       written after every segment terminator (default none)\n"
    "  --fold W                     cut the X12 data into physical lines of W characters,\n"
    "                               each ending in CR LF (the preamble is not folded;\n"
    "                               not combinable with --newline)\n"
    "  --preamble TEXT              written before the first ISA; \\n \\r \\t \\\\ are\n"
    "                               understood\n"
    "Other:\n"
    "  --seed N                     same seed and options give identical output (default 1)\n"
    "  -o FILE                      output file (default standard output)\n"
    "  --help                       show this text\n";

[[noreturn]] void usageError(const std::string& message) {
    std::fprintf(stderr, "gen835: %s\nTry 'gen835 --help'.\n", message.c_str());
    std::exit(kExitUsage);
}

uint64_t parseCount(const std::string& option, const std::string& text, uint64_t minimum, uint64_t maximum) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        usageError(option + " expects a whole number, got '" + text + "'");
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value < minimum || value > maximum)
        usageError(option + " must be between " + std::to_string(minimum) + " and " + std::to_string(maximum));
    return value;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

unsigned char parseDelimiter(const std::string& option, const std::string& text) {
    if (text.size() == 1) return static_cast<unsigned char>(text[0]);
    static const struct {
        const char* name;
        unsigned char value;
    } kNames[] = {{"CR", '\r'}, {"LF", '\n'}, {"TAB", '\t'}, {"PIPE", '|'}};
    for (const auto& name : kNames)
        if (equalsIgnoreCase(text, name.name)) return name.value;
    if (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0]))) {
        char* end = nullptr;
        errno = 0;
        const unsigned long value = std::strtoul(text.c_str(), &end, 0);
        if (errno == 0 && *end == '\0' && value <= 0xFF) return static_cast<unsigned char>(value);
    }
    usageError(option + " expects one character, CR, LF, TAB, PIPE or a code like 0x1d, got '" + text + "'");
}

std::string unescape(const std::string& text) {
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            result += text[i];
            continue;
        }
        switch (text[++i]) {
            case 'n': result += '\n'; break;
            case 'r': result += '\r'; break;
            case 't': result += '\t'; break;
            case '\\': result += '\\'; break;
            default: result += '\\'; result += text[i]; break;
        }
    }
    return result;
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        std::string value;
        bool hasInlineValue = false;
        if (const size_t eq = option.find('='); option.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = option.substr(eq + 1);
            option.resize(eq);
            hasInlineValue = true;
        }
        auto takeValue = [&]() -> std::string {
            if (hasInlineValue) return value;
            if (i + 1 >= argc) usageError(option + " needs a value");
            return argv[++i];
        };
        auto noValue = [&] {
            if (hasInlineValue) usageError(option + " takes no value");
        };

        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (option == "--claims") {
            options.claims = parseCount(option, takeValue(), 1, UINT64_MAX / 2);
            options.claimsGiven = true;
        } else if (option == "--claims-per-set") {
            options.claimsPerSet = uint32_t(parseCount(option, takeValue(), 1, 10000000));
        } else if (option == "--sets-per-group") {
            options.setsPerGroup = uint32_t(parseCount(option, takeValue(), 1, 100000000));
        } else if (option == "--groups-per-interchange") {
            options.groupsPerInterchange = uint32_t(parseCount(option, takeValue(), 1, 100000000));
        } else if (option == "--interchanges") {
            options.interchanges = uint32_t(parseCount(option, takeValue(), 1, 100000000));
        } else if (option == "--seed") {
            options.seed = parseCount(option, takeValue(), 0, UINT64_MAX);
        } else if (option == "--element") {
            options.delimiters.element = parseDelimiter(option, takeValue());
        } else if (option == "--sub") {
            options.delimiters.sub = parseDelimiter(option, takeValue());
        } else if (option == "--term") {
            options.delimiters.term = parseDelimiter(option, takeValue());
        } else if (option == "--newline") {
            const std::string mode = takeValue();
            if (mode == "none")
                options.newline = Newline::None;
            else if (mode == "lf")
                options.newline = Newline::Lf;
            else if (mode == "crlf")
                options.newline = Newline::CrLf;
            else
                usageError("--newline expects none, lf or crlf, got '" + mode + "'");
        } else if (option == "--fold") {
            options.foldWidth = uint32_t(parseCount(option, takeValue(), 1, 1000000));
        } else if (option == "--preamble") {
            options.preamble = unescape(takeValue());
        } else if (option == "--other-ids") {
            noValue();
            options.otherIds = true;
        } else if (option == "--with-997") {
            noValue();
            options.with997 = true;
        } else if (option == "--separators-per-interchange") {
            noValue();
            options.cycleSeparators = true;
        } else if (option == "--size-mb") {
            const std::string text = takeValue();
            char* end = nullptr;
            const double mb = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !(mb > 0) || mb > 1e7)
                usageError("--size-mb expects a positive number of megabytes, got '" + text + "'");
            options.sizeMb = mb;
        } else if (option == "-o" || option == "--output") {
            options.outputPath = takeValue();
            if (options.outputPath.empty()) usageError("-o needs a file name");
        } else {
            usageError("unknown option '" + option + "'");
        }
    }

    if (options.sizeMb > 0 && options.claimsGiven) usageError("use either --claims or --size-mb, not both");
    if (options.sizeMb <= 0 && options.claims < options.interchanges)
        usageError("--claims must be at least --interchanges (every interchange holds a claim)");

    // Pick a repetition separator (ISA11) that is none of the other three.
    for (unsigned char candidate : {'^', '{', '}', '`'}) {
        const Delimiters& d = options.delimiters;
        if (candidate != d.element && candidate != d.sub && candidate != d.term) {
            options.delimiters.repetition = candidate;
            break;
        }
    }
    const std::string problem = checkDelimiters(options.delimiters, options.newline, options.foldWidth);
    if (!problem.empty()) usageError(problem);
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);

    std::FILE* file = stdout;
    if (!options.outputPath.empty()) {
        file = std::fopen(options.outputPath.c_str(), "wb");
        if (!file) {
            std::fprintf(stderr, "gen835: cannot open %s: %s\n", options.outputPath.c_str(), std::strerror(errno));
            return 1;
        }
    }

    ByteSink sink(file, options.foldWidth);
    sink.writeVerbatim(options.preamble.data(), options.preamble.size());
    SegmentWriter writer(sink, options.newline);
    Generator(options, writer).run();
    sink.finish();

    const bool writeFailed = sink.failed() || std::fflush(file) != 0 || (file != stdout && std::fclose(file) != 0);
    if (writeFailed) {
        std::fprintf(stderr, "gen835: error writing %s\n",
                     options.outputPath.empty() ? "standard output" : options.outputPath.c_str());
        return 1;
    }
    return 0;
}
