// Progress figures: sizes, time left, rate and the refresh throttle.
#include <gtest/gtest.h>
#include "progress/progress.h"

static std::string Size(DWORD bytes) {
    char text[20];
    FormatSize(bytes, text);
    return text;
}

TEST(FormatSize, UnitsAndBoundaries) {
    struct { DWORD bytes; const char* text; } cases[] = {
        {0, "0 KB"},           {1023, "0 KB"},          {1024, "1 KB"},
        {1023999, "999 KB"},   {1024000, "0.9 MB"},     {1048575, "0.9 MB"},
        {1048576, "1.0 MB"},   {1572864, "1.5 MB"},     {104857599, "99.9 MB"},
        {4294967295u, "4095.9 MB"},
    };
    for (auto& c : cases) EXPECT_EQ(Size(c.bytes), c.text) << c.bytes;
}

struct Refresh {
    DWORD elapsed, total, base, done;
    const char* timeLine;
    const char* rateLine;
};

static void ExpectLines(const Refresh& r, DWORD startTick = 5000) {
    TransferState state = {};
    state.startTick = startTick;
    state.totalBytes = r.total;
    state.baseBytes = r.base;
    state.doneBytes = r.done;
    char timeLine[80], rateLine[80];
    FormatProgressLines(&state, startTick + r.elapsed, timeLine, rateLine);
    EXPECT_STREQ(timeLine, r.timeLine) << r.elapsed << " ms, " << r.done << " bytes";
    EXPECT_STREQ(rateLine, r.rateLine) << r.elapsed << " ms, " << r.done << " bytes";
}

TEST(ProgressLines, WorkedRefreshes) {
    Refresh cases[] = {
        {12345, 10485760, 0, 3145728, "28 sec (3.0 MB of 10.0 MB downloaded)", "256 KB/Sec"},
        {40000, 52428800, 1048576, 6291456, "5 min 52 sec (6.0 MB of 50.0 MB downloaded)", "128 KB/Sec"},
        {500, 1000000, 0, 1000, "16 min 39 sec (0 KB of 976 KB downloaded)", "0 KB/Sec"},
        {60000, 10485760, 0, 10485760, "0 sec (10.0 MB of 10.0 MB downloaded)", "170 KB/Sec"},
        {0, 0, 0, 0, "n/a (0 KB of 0 KB downloaded)", "n/a"},
    };
    for (auto& c : cases) ExpectLines(c);
}

TEST(ProgressLines, MinutesSwitchAfterSixtySeconds) {
    // 1000 bytes per second over 10 s; the rest decides the seconds left.
    Refresh cases[] = {
        {10000, 10000 + 60000, 0, 10000, "60 sec (9 KB of 68 KB downloaded)", "0 KB/Sec"},
        {10000, 10000 + 61000, 0, 10000, "1 min 1 sec (9 KB of 69 KB downloaded)", "0 KB/Sec"},
        {10000, 10000 + 3600000, 0, 10000, "60 min 0 sec (9 KB of 3.4 MB downloaded)", "0 KB/Sec"},
    };
    for (auto& c : cases) ExpectLines(c);
}

TEST(ProgressLines, SlowAndUnknown) {
    Refresh cases[] = {
        // Under one byte per second there is no estimate, and under 1 KB/s
        // the rate reads 0.
        {10000, 100000, 0, 9, "n/a (0 KB of 97 KB downloaded)", "0 KB/Sec"},
        // Size never learnt: amounts and rate, but never a negative count.
        {4000, 0, 0, 409600, "n/a (400 KB of 0 KB downloaded)", "100 KB/Sec"},
    };
    for (auto& c : cases) ExpectLines(c);
}

TEST(ProgressLines, ResumedTransferCountsOnlyThisRunsBytes) {
    Refresh cases[] = {
        // Before the first new byte doneBytes is still 0: nothing of this run.
        {3000, 2097152, 1048576, 0, "n/a (0 KB of 2.0 MB downloaded)", "n/a"},
        // Kept bytes show in the amounts, not in the speed.
        {4000, 2097152, 1048576, 1048576 + 409600, "6 sec (1.3 MB of 2.0 MB downloaded)", "100 KB/Sec"},
    };
    for (auto& c : cases) ExpectLines(c);
}

TEST(ProgressLines, TickCounterWrapAround) {
    // Started 2 s before the counter wrapped, refreshed 12 s later.
    Refresh r = {12000, 10485760, 0, 3145728, "28 sec (3.0 MB of 10.0 MB downloaded)", "256 KB/Sec"};
    ExpectLines(r, 0xFFFFFFFFu - 1999);
}

TEST(ProgressDue, ThrottleAndFinalUpdate) {
    TransferState state = {};
    state.totalBytes = 1000;
    state.doneBytes = 10;
    struct { DWORD lastRefresh, now; int due; } cases[] = {
        {10000, 10800, 1}, {10000, 10799, 0}, {10000, 10001, 0},
        {0xFFFFFF00u, 0xFFFFFF00u + 800, 1},         // across the wrap
        {0xFFFFFF00u, 0x00000220u, 1},               // 800 ms later, wrapped
        {0xFFFFFF00u, 0x0000021Fu, 0},               // 799 ms later, wrapped
    };
    for (auto& c : cases) {
        state.lastRefreshTick = c.lastRefresh;
        EXPECT_EQ(ProgressDue(&state, c.now), c.due) << c.lastRefresh << " -> " << c.now;
    }
    // The final update goes out even 1 ms after the last refresh.
    state.doneBytes = 1000;
    state.lastRefreshTick = 20000;
    EXPECT_TRUE(ProgressDue(&state, 20001));
}

// The bar takes signed numbers: from 2 GiB on its range would read as
// negative. Its figures stay below 2 GiB, full at the end, in proportion.
TEST(BarFigure, SignedRangeInProportion) {
    for (DWORD total : {0u, 1u, 300000u, 0x7FFFFFFFu, 0x80000000u, 0xC0000000u, 0xFFFFFFFFu}) {
        DWORD range = BarFigure(total, total);
        EXPECT_LE(range, 0x7FFFFFFFu) << total;
        if (total < 0x80000000u) EXPECT_EQ(range, total);
        for (DWORD done : {DWORD(0), total / 3, total / 2, total - 1, total}) {
            if (done > total) continue;  // total - 1 of an empty file
            DWORD figure = BarFigure(done, total);
            EXPECT_LE(figure, range) << done << " of " << total;
            // Off by less than one step of the bar's scale.
            unsigned long long exact = (unsigned long long)done * range;
            unsigned long long shown = (unsigned long long)figure * total;
            EXPECT_LE(exact > shown ? exact - shown : shown - exact, 2ull * total)
                << done << " of " << total;
        }
        EXPECT_EQ(BarFigure(total, total), range);
    }
}
