// The substring search and the wininit.ini edit, on real files.
#include <gtest/gtest.h>
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
