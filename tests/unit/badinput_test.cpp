// Random and hostile input, with a fixed seed, for the text and number code:
// the reply number parser, the reply's number part, the substring search,
// the wininit.ini edit, the size text and the two progress lines.
//
// Inputs are placed so that their terminator is the last byte before a page
// that cannot be read, and outputs so that their documented capacity ends
// there: a read past the end of an input or a write past the end of an
// output faults at once instead of going unnoticed. Results are compared
// with small reference versions of the rules.
// Vectored exception handlers are declared for Windows XP and later.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0501
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <random>
#include <string>
#include <vector>
#include "handover/handover.h"
#include "progress/progress.h"
#include "transfer/transfer.h"
#include "wholefile.h"

namespace {

// What is being tried, printed when a guard page is hit: gtest cannot catch
// the fault, the process dies, and this says which input did it.
char currentCase[512];

LONG CALLBACK ReportFault(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && currentCase[0]) {
        fprintf(stderr, "access violation at %p while trying: %s\n",
                (void*)info->ExceptionRecord->ExceptionInformation[1], currentCase);
        fflush(stderr);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

void Describe(const char* what, const std::string& input) {
    std::string shown;
    for (unsigned char c : input.substr(0, 120)) {
        char part[8];
        if (c >= 32 && c < 127 && c != '\\') {
            shown += (char)c;
        } else {
            sprintf(part, "\\x%02x", c);
            shown += part;
        }
    }
    snprintf(currentCase, sizeof currentCase, "%s \"%s\"%s (%u bytes)", what, shown.c_str(),
             input.size() > 120 ? "..." : "", (unsigned)input.size());
}

// Memory whose usable part ends where a PAGE_NOACCESS page begins.
class Guarded {
public:
    explicit Guarded(size_t capacity) {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        size_t page = info.dwPageSize;
        size_t pages = (capacity + page - 1) / page;
        base_ = (char*)VirtualAlloc(0, (pages + 1) * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        end_ = base_ + pages * page;
        DWORD old;
        VirtualProtect(end_, page, PAGE_NOACCESS, &old);
    }
    ~Guarded() { VirtualFree(base_, 0, MEM_RELEASE); }
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    // The text with its terminator as the last readable byte.
    const char* Text(const std::string& text) {
        char* at = end_ - text.size() - 1;
        memcpy(at, text.data(), text.size());
        at[text.size()] = 0;
        return at;
    }
    // An output buffer of exactly `size` bytes, filled with a marker.
    char* Out(size_t size) {
        memset(end_ - size, 0x5A, size);
        return end_ - size;
    }
    const char* End() const { return end_; }

private:
    char* base_;
    char* end_;
};

std::mt19937 NewRandom(unsigned salt) {
    const char* seed = getenv("BADINPUT_SEED");  // another seed to explore; the suite uses the fixed one
    return std::mt19937((seed ? strtoul(seed, 0, 10) : 20240607u) * 7919u + salt);
}

unsigned Pick(std::mt19937& rng, unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng); }

// A text of `length` characters from the alphabet, which may hold a zero:
// the function then sees only the part before it.
std::string RandomText(std::mt19937& rng, size_t length, const std::string& alphabet) {
    std::string text;
    for (size_t i = 0; i < length; i++) text += alphabet[Pick(rng, (unsigned)alphabet.size())];
    return text;
}

std::string AnyBytes(std::mt19937& rng, size_t length) {
    std::string text;
    for (size_t i = 0; i < length; i++) text += (char)(1 + Pick(rng, 255));
    return text;
}

// Lengths that favour the short, with now and then a long one.
size_t RandomLength(std::mt19937& rng) {
    switch (Pick(rng, 40)) {
    case 0: case 1: case 2: case 3: return 0;
    case 4: case 5: case 6: case 7: return 1 + Pick(rng, 3);
    case 8: return 8000 + Pick(rng, 400);   // around the 8192-byte reply buffer
    case 9: return Pick(rng, 70000);
    default: return Pick(rng, 40);
    }
}

DWORD RandomNumber(std::mt19937& rng) {
    static const DWORD edges[] = {0, 1, 999, 1000, 1023, 1024, 1023999, 1024000, 1048575, 1048576,
                                  0x7FFFFFFF, 0x80000000, 0x80000001, 0xFFFFFC00, 0xFFFFFFFE, 0xFFFFFFFF};
    switch (Pick(rng, 4)) {
    case 0: return edges[Pick(rng, sizeof edges / sizeof edges[0])];
    case 1: return Pick(rng, 5000000);
    case 2: return edges[Pick(rng, sizeof edges / sizeof edges[0])] + Pick(rng, 2001) - 1000;
    default: return (DWORD)rng();
    }
}

struct FaultReporter {
    FaultReporter() { AddVectoredExceptionHandler(1, ReportFault); }
} faultReporter;

}  // namespace

TEST(BadInput, GuardPageCannotBeRead) {
    Guarded memory(100);
    EXPECT_FALSE(IsBadReadPtr(memory.End() - 1, 1));
    EXPECT_TRUE(IsBadReadPtr(memory.End(), 1));
    EXPECT_TRUE(IsBadWritePtr((void*)memory.End(), 1));
}

// Every digit within the first maxChars characters (all when 0), up to the
// terminator, joined into one number modulo 2^32.
static DWORD ReferenceDecimal(const std::string& text, DWORD maxChars) {
    DWORD value = 0;
    for (size_t i = 0; i < text.size() && text[i] && (maxChars == 0 || i < maxChars); i++)
        if (text[i] >= '0' && text[i] <= '9') value = value * 10 + (DWORD)(text[i] - '0');
    return value;
}

TEST(BadInput, ParseDecimal) {
    std::mt19937 rng = NewRandom(1);
    Guarded memory(80000);
    const std::string alphabets[] = {"0123456789", "0123456789 \r\n,.-+", std::string("09 x\r\n\0", 7)};
    for (int i = 0; i < 30000; i++) {
        std::string text = i % 5 == 4 ? AnyBytes(rng, RandomLength(rng))
                                      : RandomText(rng, RandomLength(rng), alphabets[Pick(rng, 3)]);
        DWORD maxChars = Pick(rng, 3) == 0 ? 0 : Pick(rng, 20);
        if (Pick(rng, 10) == 0) maxChars = (DWORD)rng();
        Describe("ParseDecimal", text);
        ASSERT_EQ(ParseDecimal(memory.Text(text), maxChars), ReferenceDecimal(text, maxChars))
            << currentCase << " maxChars " << maxChars;
    }
}

TEST(BadInput, ReplyNumberPart) {
    std::mt19937 rng = NewRandom(2);
    Guarded memory(80000);
    for (int i = 0; i < 40000; i++) {
        std::string reply = i % 4 == 3 ? AnyBytes(rng, RandomLength(rng))
                                       : RandomText(rng, RandomLength(rng), "213  9\r\n");
        Describe("ReplyNumberPart", reply);
        const char* text = memory.Text(reply);
        const char* part = ReplyNumberPart(text);
        size_t length = strlen(text);
        // Past the code (up to the first blank), then past the run of blanks.
        size_t at = 0;
        while (at < length && text[at] != ' ') at++;
        while (at < length && text[at] == ' ') at++;
        ASSERT_TRUE(part >= text && part <= text + length) << currentCase;
        ASSERT_EQ((size_t)(part - text), at) << currentCase;
        // The number read from it stays inside the reply too.
        ParseDecimal(part, 0);
        ParseDecimal(part, 8);
    }
}

static LONG ReferenceFind(const std::string& text, const std::string& pattern) {
    std::string t = text.substr(0, text.find('\0')), p = pattern.substr(0, pattern.find('\0'));
    if (t.empty()) return -1;
    size_t at = t.find(p);
    return at == std::string::npos ? -1 : (LONG)at;
}

TEST(BadInput, FindSubstring) {
    std::mt19937 rng = NewRandom(3);
    Guarded textMemory(80000), patternMemory(80000);
    const char* alphabets[] = {"ab", "[Rename]\r\n", "\n["};
    for (int i = 0; i < 40000; i++) {
        const char* alphabet = alphabets[Pick(rng, 3)];
        std::string text = RandomText(rng, RandomLength(rng), alphabet);
        std::string pattern;
        switch (Pick(rng, 4)) {
        case 0: pattern = RandomText(rng, Pick(rng, 5), alphabet); break;
        case 1:  // a piece of the text, maybe running past its end
            if (!text.empty()) {
                size_t from = Pick(rng, (unsigned)text.size());
                pattern = text.substr(from, 1 + Pick(rng, 12));
                if (Pick(rng, 2)) pattern += alphabet[0];
            }
            break;
        case 2: pattern = text + (Pick(rng, 2) ? "a" : ""); break;
        default: pattern = RandomText(rng, RandomLength(rng), alphabet);
        }
        Describe("FindSubstring", text + " / " + pattern);
        ASSERT_EQ(FindSubstring(textMemory.Text(text), patternMemory.Text(pattern)),
                  ReferenceFind(text, pattern))
            << currentCase;
    }
}

static std::string ReferenceSize(DWORD bytes) {
    char text[64];
    DWORD k = bytes >> 10;
    if (k < 1000)
        snprintf(text, sizeof text, "%u KB", (unsigned)k);
    else
        snprintf(text, sizeof text, "%u.%u MB", (unsigned)(k / 1024), (unsigned)((k % 1024) * 10 / 1024));
    return text;
}

TEST(BadInput, FormatSizeFitsTwentyBytes) {
    std::mt19937 rng = NewRandom(4);
    Guarded memory(20);
    for (int i = 0; i < 100000; i++) {
        DWORD bytes = RandomNumber(rng);
        snprintf(currentCase, sizeof currentCase, "FormatSize(%lu)", (unsigned long)bytes);
        char* text = memory.Out(20);
        FormatSize(bytes, text);
        ASSERT_LT(strnlen(text, 20), 20u) << currentCase;   // terminated inside the 20 bytes
        ASSERT_EQ(text, ReferenceSize(bytes)) << currentCase;
    }
}

// The figures of one refresh as the rules give them; a count of seconds
// below zero (more bytes than announced) or a size never learnt reads n/a.
static void ReferenceLines(const TransferState& s, DWORD now, std::string& timeLine, std::string& rateLine) {
    LONG elapsed = (LONG)(now - s.startTick) / 1000;
    if (elapsed == 0) elapsed = 1;
    LONG thisRun = (LONG)(s.doneBytes - s.baseBytes);
    char time[64] = "n/a";
    if (thisRun > 0 && elapsed > 0) {
        LONG perSecond = thisRun / elapsed;
        LONG left = (LONG)(s.totalBytes - s.doneBytes);
        if (perSecond != 0 && s.totalBytes != 0 && left >= 0) {
            left /= perSecond;
            if (left <= 60)
                snprintf(time, sizeof time, "%ld sec", (long)left);
            else
                snprintf(time, sizeof time, "%ld min %ld sec", (long)(left / 60), (long)(left % 60));
        }
    }
    timeLine = std::string(time) + " (" + ReferenceSize(s.doneBytes) + " of " + ReferenceSize(s.totalBytes) +
               " downloaded)";
    if (thisRun <= 0) {
        rateLine = "n/a";
    } else {
        char rate[64];
        snprintf(rate, sizeof rate, "%ld KB/Sec", (long)(thisRun / 1024 / elapsed));
        rateLine = rate;
    }
}

TEST(BadInput, ProgressLinesFitEightyBytes) {
    std::mt19937 rng = NewRandom(5);
    Guarded timeMemory(80), rateMemory(80);
    size_t longest = 0;
    for (int i = 0; i < 100000; i++) {
        TransferState state = {};
        state.startTick = RandomNumber(rng);
        state.totalBytes = RandomNumber(rng);
        state.baseBytes = Pick(rng, 3) == 0 ? 0 : RandomNumber(rng);
        state.doneBytes = Pick(rng, 4) == 0 ? state.totalBytes : RandomNumber(rng);
        DWORD now = Pick(rng, 2) ? state.startTick + RandomNumber(rng) : RandomNumber(rng);
        snprintf(currentCase, sizeof currentCase, "FormatProgressLines(start %lu, total %lu, base %lu, done %lu, now %lu)",
                 (unsigned long)state.startTick, (unsigned long)state.totalBytes,
                 (unsigned long)state.baseBytes, (unsigned long)state.doneBytes, (unsigned long)now);
        char* timeLine = timeMemory.Out(80);
        char* rateLine = rateMemory.Out(80);
        FormatProgressLines(&state, now, timeLine, rateLine);
        ASSERT_LT(strnlen(timeLine, 80), 80u) << currentCase;
        ASSERT_LT(strnlen(rateLine, 80), 80u) << currentCase;
        std::string wantTime, wantRate;
        ReferenceLines(state, now, wantTime, wantRate);
        ASSERT_EQ(timeLine, wantTime) << currentCase;
        ASSERT_EQ(rateLine, wantRate) << currentCase;
        longest = std::max(longest, strlen(timeLine));
    }
    // The documented longest line, 55 characters, was among the inputs.
    EXPECT_LE(longest, 55u);
    EXPECT_GE(longest, 45u);
}

// The wininit.ini edit on random files: the entry goes to the end of the
// first "[Rename]\r\n" section found in the text before any zero byte, or a
// new section is added at the end; a last line without a line break is ended
// first; every other byte stays.
static std::string ReferenceWininit(const std::string& old, const std::string& line) {
    std::string text = old.substr(0, old.find('\0'));
    std::string out = old;
    auto endLastLine = [&out] {
        if (!out.empty() && out.back() != '\n') out += "\r\n";
    };
    size_t section = text.find("[Rename]\r\n");
    if (section == std::string::npos) {
        endLastLine();
        out += "[Rename]\r\n" + line;
        return out;
    }
    size_t next = text.find("\n[", section + 9);
    if (next == std::string::npos) {
        endLastLine();
        out += line;
    } else {
        out.insert(next + 1, line);
    }
    return out;
}

TEST(BadInput, WininitEditOnRandomFiles) {
    std::mt19937 rng = NewRandom(6);
    WininitPlace place;
    ASSERT_TRUE(place.Make("badinput-wininit", "~mi10000$1f4 setup copy.exe"));
    const char* ini = place.ini;
    const std::string line = std::string("NUL=") + place.shortTarget + "\r\n";
    const char* pieces[] = {"[Rename]\r\n", "[rename]\r\n", "[Rename]\n", "[boot]\r\n", "NUL=C:\\X.EXE\r\n",
                            "a=b\r\n",      "\r\n",         "\n",          "[",        "\n[",
                            "]",            "\r",           "x"};
    for (int i = 0; i < 400; i++) {
        std::string before;
        size_t count = Pick(rng, 4) == 0 ? 0 : 1 + Pick(rng, 30);
        for (size_t p = 0; p < count; p++) {
            if (Pick(rng, 25) == 0)
                before += std::string(1, '\0');
            else if (Pick(rng, 30) == 0)
                before += AnyBytes(rng, Pick(rng, 5000));
            else
                before += pieces[Pick(rng, sizeof pieces / sizeof pieces[0])];
        }
        Describe("AddWininitEntry on", before);
        if (Pick(rng, 10) == 0)
            DeleteFileA(ini);  // a missing file is created
        else
            WriteAll(ini, before);
        std::string expected = ReferenceWininit(GetFileAttributesA(ini) == INVALID_FILE_ATTRIBUTES ? "" : before, line);
        ASSERT_EQ(AddWininitEntry(ini, place.target), 1u) << currentCase;
        ASSERT_EQ(ReadAll(ini), expected) << currentCase;
    }
    place.Remove();
}
