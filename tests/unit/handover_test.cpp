// The substring search and the wininit.ini edit, on real files.
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include "wholefile.h"
#include "handover/handover.h"

TEST(FindSubstring, Table) {
    struct { const char* text; const char* pattern; LONG at; } cases[] = {
        {"xyz", "z", 2},     {"xyz", "xyzw", -1}, {"xy", "", 0},   {"", "", -1},
        {"", "a", -1},       {"abcabc", "cab", 2}, {"aab", "ab", 1}, {"[rename]\r\n", "[Rename]\r\n", -1},
        {"x\n[Rename]\r\n", "[Rename]\r\n", 2},
    };
    for (auto& c : cases) EXPECT_EQ(FindSubstring(c.text, c.pattern), c.at) << c.text << " / " << c.pattern;
}

TEST(FindSubstringWithin, NothingAtOrPastTheLimitCounts) {
    struct { const char* text; DWORD limit; const char* pattern; LONG at; } cases[] = {
        {"[boot]\r\n[Rename]\r\n", 18, "[Rename]\r\n", 8},
        {"[boot]\r\n[Rename]\r\n", 17, "[Rename]\r\n", -1},   // its last byte is past the limit
        {"[boot]\r\n[Rename]\r\n", 8, "[Rename]\r\n", -1},
        {"xyz", 3, "z", 2},   {"xyz", 2, "z", -1},   {"xyz", 0, "", -1},
        {"xy", 1, "", 0},     {"a\0b", 3, "b", -1},   // a zero byte still ends the text
        {"\n[", 2, "\n[", 0}, {"\n[", 1, "\n[", -1},
    };
    for (auto& c : cases)
        EXPECT_EQ(FindSubstringWithin(c.text, c.limit, c.pattern), c.at)
            << c.text << " / " << c.limit << " / " << c.pattern;
}

TEST(FindSubstringWithin, ReadsNoByteAtTheLimit) {
    // The text ends at a page with no access behind it: a read of the byte
    // at the limit would fault.
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    char* pages = (char*)VirtualAlloc(0, 2 * info.dwPageSize, MEM_COMMIT, PAGE_READWRITE);
    ASSERT_TRUE(pages);
    DWORD old;
    ASSERT_TRUE(VirtualProtect(pages + info.dwPageSize, info.dwPageSize, PAGE_NOACCESS, &old));
    const char tail[] = "[boot]\r\nx=1\r\n[Rename]\r\n";
    DWORD length = sizeof(tail) - 1;
    char* text = pages + info.dwPageSize - length;
    memcpy(text, tail, length);
    EXPECT_EQ(FindSubstringWithin(text, length, "[Rename]\r\n"), 13);
    EXPECT_EQ(FindSubstringWithin(text, length, "\n["), 12);
    EXPECT_EQ(FindSubstringWithin(text, length, "[Rename]\r\nNUL"), -1);
    VirtualFree(pages, 0, MEM_RELEASE);
}

class Wininit : public ::testing::Test, protected WininitPlace {
protected:
    void SetUp() override { Make("wininit-test", "~mi10000$d48.exe"); }
    void TearDown() override { Remove(); }
    std::string Read() { return ReadAll(ini); }
    // The table's S is the short path of the target.
    std::string Expand(const char* pattern) {
        std::string text = pattern;
        for (size_t at; (at = text.find('S')) != std::string::npos;) text.replace(at, 1, shortTarget);
        return text;
    }
};

TEST_F(Wininit, WorkedExamples) {
    struct { const char* before; const char* after; } cases[] = {
        {"", "[Rename]\r\nNUL=S\r\n"},
        {"[boot]\r\nx=1\r\n", "[boot]\r\nx=1\r\n[Rename]\r\nNUL=S\r\n"},
        {"[Rename]\r\nNUL=A\r\n", "[Rename]\r\nNUL=A\r\nNUL=S\r\n"},
        {"[Rename]\r\nNUL=A\r\n[boot]\r\nx=1\r\n", "[Rename]\r\nNUL=A\r\nNUL=S\r\n[boot]\r\nx=1\r\n"},
        {"[Rename]\r\n[boot]\r\nx=1\r\n", "[Rename]\r\nNUL=S\r\n[boot]\r\nx=1\r\n"},
        {"[rename]\r\nNUL=A\r\n", "[rename]\r\nNUL=A\r\n[Rename]\r\nNUL=S\r\n"},
        // A header with a bare line feed is not the section either.
        {"[Rename]\nNUL=A\n", "[Rename]\nNUL=A\n[Rename]\r\nNUL=S\r\n"},
        // A last line without its line break stays a line of its own.
        {"[boot]\r\nx=1", "[boot]\r\nx=1\r\n[Rename]\r\nNUL=S\r\n"},
        {"[Rename]\r\nNUL=A", "[Rename]\r\nNUL=A\r\nNUL=S\r\n"},
    };
    for (auto& c : cases) {
        WriteAll(ini, c.before);
        EXPECT_EQ(AddWininitEntry(ini, target), 1u) << c.before;
        EXPECT_EQ(Read(), Expand(c.after)) << c.before;
    }
}

// What the grown part of the view reads is not promised: with bytes there
// that look like a section, or like the next section's header, the edit
// must come out as it does where they read as zeros.
static const char* junkPastEnd;
static void FillPastEnd(char* view, DWORD oldLength, DWORD mappedLength) {
    DWORD junkLength = lstrlenA(junkPastEnd);
    for (DWORD i = oldLength; i < mappedLength; i++) view[i] = junkPastEnd[(i - oldLength) % junkLength];
}

TEST_F(Wininit, BytesPastTheOldEndAreNotRead) {
    struct { const char* before; const char* after; } cases[] = {
        {"", "[Rename]\r\nNUL=S\r\n"},
        {"[boot]\r\nx=1\r\n", "[boot]\r\nx=1\r\n[Rename]\r\nNUL=S\r\n"},
        {"[Rename]\r\nNUL=A\r\n", "[Rename]\r\nNUL=A\r\nNUL=S\r\n"},
        {"[Rename]\r\nNUL=A\r\n[boot]\r\nx=1\r\n", "[Rename]\r\nNUL=A\r\nNUL=S\r\n[boot]\r\nx=1\r\n"},
        {"[Rename]\r\nNUL=A", "[Rename]\r\nNUL=A\r\nNUL=S\r\n"},
        {"[boot]\r\nx=1\r\n[Rename]\r", "[boot]\r\nx=1\r\n[Rename]\r\r\n[Rename]\r\nNUL=S\r\n"},
    };
    for (const char* junk : {"\n[Rename]\r\n", "\n[", "x"}) {
        junkPastEnd = junk;
        SeamMappedView = FillPastEnd;
        for (auto& c : cases) {
            WriteAll(ini, c.before);
            EXPECT_EQ(AddWininitEntry(ini, target), 1u) << c.before;
            EXPECT_EQ(Read(), Expand(c.after)) << "junk " << junk << ": " << c.before;
        }
        SeamMappedView = 0;
    }
}

TEST_F(Wininit, MissingFileIsCreated) {
    EXPECT_EQ(AddWininitEntry(ini, target), 1u);
    EXPECT_EQ(Read(), Expand("[Rename]\r\nNUL=S\r\n"));
}

TEST_F(Wininit, ZeroByteEndsTheSearchButNotTheFile) {
    // "[Rename]" after the zero byte is not seen; the new section still goes
    // at the real end of the file.
    std::string before("[boot]\r\n\0[Rename]\r\nNUL=A\r\n", 26);
    WriteAll(ini, before);
    EXPECT_EQ(AddWininitEntry(ini, target), 1u);
    EXPECT_EQ(Read(), before + Expand("[Rename]\r\nNUL=S\r\n"));
}

TEST_F(Wininit, RepeatedCallsAddTheLineAgain) {
    AddWininitEntry(ini, target);
    AddWininitEntry(ini, target);
    EXPECT_EQ(Read(), Expand("[Rename]\r\nNUL=S\r\nNUL=S\r\n"));
}

TEST_F(Wininit, FileHeldOpenIsLeftUntouched) {
    WriteAll(ini, "[boot]\r\nx=1\r\n");
    HANDLE held = CreateFileA(ini, GENERIC_READ, 0, 0, OPEN_EXISTING, 0, 0);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(AddWininitEntry(ini, target), 0u);
    CloseHandle(held);
    EXPECT_EQ(Read(), "[boot]\r\nx=1\r\n");
}

TEST_F(Wininit, ShortPathMissingLeavesAnEmptyEntry) {
    char gone[MAX_PATH];
    wsprintfA(gone, "%s\\no-such-file.exe", dir);
    EXPECT_EQ(AddWininitEntry(ini, gone), 1u);
    EXPECT_EQ(Read(), "[Rename]\r\nNUL=\r\n");
}
