// Reply parsing, OS naming, date packing and the resume record in the
// registry.
#include <gtest/gtest.h>
#include <string>
#include "transfer/transfer.h"

TEST(ParseDecimal, JoinsEveryDigitInRange) {
    struct { const char* text; DWORD maxChars; DWORD value; } cases[] = {
        {"", 0, 0},
        {"no digits", 0, 0},
        {"1,5", 0, 15},
        {"1234\r\n", 0, 1234},
        {"20030709140559\r\n", 8, 20030709},
        {"20030709140559", 0, 3276639311u},     // 20030709140559 mod 2^32
        {"4294967296", 0, 0},                   // one past the top wraps to 0
        {"4294967295", 0, 4294967295u},
        {"12", 8, 12},                          // limit beyond the text
        {"1234", 2, 12},
    };
    for (auto& c : cases) EXPECT_EQ(ParseDecimal(c.text, c.maxChars), c.value) << c.text;
}

TEST(ParseLength, OnlyDecimalNumbersBelow4GiB) {
    struct { const char* text; int ok; DWORD value; } cases[] = {
        {"0", 1, 0},
        {"300000", 1, 300000},
        {"300000\r\n", 1, 300000},            // an FTP reply's value
        {"4294967295", 1, 4294967295u},
        {"3221225472", 1, 3221225472u},        // 3 GiB: past a signed number's end
        {"4294967296", 0, 0},                  // 4 GiB: no wrap to 0
        {"4294967300", 0, 0},
        {"42949672950", 0, 0},
        {"99999999999999999999999999999", 0, 0},
        {"", 0, 0},
        {"many", 0, 0},
        {"-5", 0, 0},
        {"300000x", 0, 0},
        {"1,5", 0, 0},
        {"150000 bytes", 0, 0},
        {" 300000", 0, 0},
    };
    for (auto& c : cases) {
        DWORD value = 12345;
        int ok = ParseLength(c.text, &value);
        EXPECT_EQ(ok, c.ok) << c.text;
        if (c.ok) EXPECT_EQ(value, c.value) << c.text;
    }
}

// What the client hands over as the last reply: reply text of the wanted
// length, or, where it does not fit with its end, a failure that names the
// room it would need (as Windows does).
static DWORD replyLength;
static BOOL WINAPI FakeLastResponse(LPDWORD code, LPSTR buffer, LPDWORD length) {
    *code = 0;
    if (replyLength + 1 > *length) {
        *length = replyLength + 1;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    for (DWORD i = 0; i < replyLength; i++) buffer[i] = i < 4 ? "213 "[i] : '9';
    buffer[replyLength] = 0;
    *length = replyLength;
    return TRUE;
}

TEST(FetchReply, TakesOnlyRepliesThatFitWithTheirEnd) {
    struct { DWORD length; DWORD fetched; } cases[] = {
        {12, 12}, {8191, 8191}, {8192, 0}, {9000, 0},
    };
    auto saved = SeamLastResponse;
    SeamLastResponse = FakeLastResponse;
    for (auto& c : cases) {
        replyLength = c.length;
        std::string buffer(9100, 'x');
        DWORD fetched = FetchReply(&buffer[0]);
        EXPECT_EQ(fetched, c.fetched) << c.length;
        // Cut at its length; nothing past the 8192 bytes touched.
        EXPECT_EQ(buffer[fetched], 0) << c.length;
        EXPECT_EQ(buffer.find_first_not_of('x', 8192), std::string::npos) << c.length;
        if (fetched) EXPECT_EQ(buffer.compare(0, 4, "213 "), 0);
    }
    SeamLastResponse = saved;
}

TEST(HttpDateUsable, OnlyDatesTheClientCanConvert) {
    struct { const char* text; int usable; } cases[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", 1},
        {"Fri, 02 Jan 1970 00:00:00 GMT", 1},   // first day safe in every time zone
        {"Thu, 01 Jan 1970 23:59:59 GMT", 0},
        {"Sat, 31 Jan 1970 00:00:00 GMT", 1},
        {"Thu, 31 Dec 2037 23:59:59 GMT", 1},
        {"Fri, 01 Jan 2038 00:00:00 GMT", 0},
        {"Sat, 06 Nov 1969 08:49:37 GMT", 0},
        {"Sun, 00 Nov 1994 08:49:37 GMT", 0},
        {"Sun, 32 Nov 1994 08:49:37 GMT", 0},
        {"Sun, 31 Nov 1994 08:49:37 GMT", 1},   // the client rolls it over
        {"Sun, 6 Nov 1994 08:49:37 GMT", 0},    // one-digit day
        {"Sun, 06 Nov 94 08:49:37 GMT", 0},
        {"Sunday, 06-Nov-94 08:49:37 GMT", 0},
        {"Sun Nov  6 08:49:37 1994", 0},
        {"Sun, 06 Nov 1994", 1},                // ends after the year
        {"Sun, 06 Nov 199", 0},
        {"not a date", 0},
        {"", 0},
        {"Sun, 06 Nov +994 08:49:37 GMT", 0},
    };
    for (auto& c : cases) EXPECT_EQ(HttpDateUsable(c.text), c.usable) << c.text;
}

TEST(ReplyNumberPart, SkipsCodeAndBlanks) {
    struct { const char* reply; const char* part; } cases[] = {
        {"213 1234\r\n", "1234\r\n"},
        {"213    1234\r\n", "1234\r\n"},           // several blanks
        {"2131234", ""},                          // no blank: nothing
        {"", ""},
        {" 55", "55"},                            // starts with a blank
        {"213 ", ""},                             // empty value
        {"213 20030709140559 x", "20030709140559 x"},
    };
    for (auto& c : cases) EXPECT_STREQ(ReplyNumberPart(c.reply), c.part) << c.reply;
}

TEST(OsName, WholeVersionTable) {
    struct { DWORD major, minor, platform; DWORD kind; const char* name; } cases[] = {
        {3, 51, 2, 5, "Windows NT 3.51"},
        {4, 0, VER_PLATFORM_WIN32_NT, 6, "Windows NT 4.0"},
        {4, 0, VER_PLATFORM_WIN32_WINDOWS, 1, "Windows 95"},
        {4, 10, 1, 3, "Windows 98"},   {4, 10, 2, 3, "Windows 98"},
        {4, 90, 1, 2, "Windows ME"},   {4, 90, 2, 2, "Windows ME"},
        {5, 0, 2, 8, "Windows 2000"},  {5, 1, 2, 9, "Windows XP"},
        {5, 2, 2, 10, "Windows 2003 Server"},
        {6, 0, 2, 8, "Windows 2000"},  {6, 1, 2, 9, "Windows XP"},
        {6, 2, 2, 10, "Windows 2003 Server"},
        {10, 0, 2, 8, "Windows 2000"},
        {0, 0, 0, 0, "Windows NT 0.0"},  {2, 5, 1, 0, "Windows NT 2.5"},
    };
    for (auto& c : cases) {
        DWORD kind = OsKindFor(c.major, c.minor, c.platform);
        EXPECT_EQ(kind, c.kind) << c.major << "." << c.minor;
        char name[128];
        FormatOsName(kind, c.major, c.minor, name);
        EXPECT_STREQ(name, c.name) << c.major << "." << c.minor;
    }
}

TEST(AgentString, BuiltOnceFromProductCodeAndOsName) {
    theSession.productCode = "QRBL7300";
    const char* first = GetAgentString();
    char osName[128];
    GetOsName(osName);
    EXPECT_EQ(std::string(first), std::string("QRBL7300 (") + osName + ")");
    theSession.productCode = "OTHER";
    EXPECT_EQ(GetAgentString(), first);
    EXPECT_EQ(GetAgentString(), first);
    EXPECT_STREQ(first, (std::string("QRBL7300 (") + osName + ")").c_str());
}

TEST(Packing, DateAndTime) {
    EXPECT_EQ(PackDate(2003, 7, 9), 20030709u);
    EXPECT_EQ(PackTime(14, 5), 11405u);
    EXPECT_EQ(PackTime(0, 0), 10000u);
}

class ResumeRecord : public ::testing::Test {
protected:
    void SetUp() override {
        theSession.registryKey = "Software\\StubUnitTest";
        theSession.installNumber = 10000;
        Wipe();
    }
    void TearDown() override { Wipe(); }
    static void Wipe() {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\StubUnitTest\\Install\\00010000");
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\StubUnitTest\\Install\\123456789");
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\StubUnitTest\\Install");
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\StubUnitTest");
    }
    static bool KeyExists(const char* path) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    }
};

TEST_F(ResumeRecord, LoadingFromNothingCreatesNothing) {
    EXPECT_EQ(LoadResumeValue(&theSession, "Date"), 0u);
    EXPECT_EQ(LoadResumeValue(&theSession, "Time"), 0u);
    EXPECT_EQ(LoadResumeValue(&theSession, "Size"), 0u);
    EXPECT_FALSE(KeyExists("Software\\StubUnitTest"));
}

TEST_F(ResumeRecord, SavingCreatesThePathAndRoundTrips) {
    EXPECT_EQ(SaveResumeValue(&theSession, "Date", 20030709), 1u);
    EXPECT_EQ(SaveResumeValue(&theSession, "Time", 11405), 1u);
    EXPECT_EQ(SaveResumeValue(&theSession, "Size", 4000000000u), 1u);
    EXPECT_TRUE(KeyExists("Software\\StubUnitTest\\Install\\00010000"));
    EXPECT_EQ(LoadResumeValue(&theSession, "Date"), 20030709u);
    EXPECT_EQ(LoadResumeValue(&theSession, "Time"), 11405u);
    EXPECT_EQ(LoadResumeValue(&theSession, "Size"), 4000000000u);

    DeleteResumeRecord(&theSession);
    EXPECT_FALSE(KeyExists("Software\\StubUnitTest\\Install\\00010000"));
    // Only this install number's key goes.
    EXPECT_TRUE(KeyExists("Software\\StubUnitTest\\Install"));
}

TEST_F(ResumeRecord, NineDigitInstallNumber) {
    theSession.installNumber = 123456789;
    SaveResumeValue(&theSession, "Size", 7);
    EXPECT_TRUE(KeyExists("Software\\StubUnitTest\\Install\\123456789"));
    EXPECT_EQ(LoadResumeValue(&theSession, "Size"), 7u);
}

TEST_F(ResumeRecord, ValueOfAnotherTypeReadsAsZero) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\StubUnitTest\\Install\\00010000", 0, 0,
                              0, KEY_ALL_ACCESS, 0, &key, 0), ERROR_SUCCESS);
    RegSetValueExA(key, "Date", 0, REG_SZ, (const BYTE*)"20030709", 9);
    RegSetValueExA(key, "Time", 0, REG_SZ, (const BYTE*)"1", 2);
    RegCloseKey(key);
    EXPECT_EQ(LoadResumeValue(&theSession, "Date"), 0u);
    EXPECT_EQ(LoadResumeValue(&theSession, "Time"), 0u);
}

// The record holds the partial file's full name; it vouches for that file
// alone, and only with the identity it was stored with.
TEST_F(ResumeRecord, MatchesOnlyTheFileItWasWrittenFor) {
    const char* own = "C:\\Documents and Settings\\ann\\Local Settings\\Temp\\~QRBL730010000.exe";
    EXPECT_EQ(SaveResumeRecord(&theSession, own, 20030709, 11405, 300000), 1u);
    EXPECT_TRUE(ResumeRecordMatches(&theSession, own, 20030709, 11405, 300000));
    EXPECT_FALSE(ResumeRecordMatches(&theSession, own, 20030710, 11405, 300000));
    EXPECT_FALSE(ResumeRecordMatches(&theSession, own, 20030709, 11406, 300000));
    EXPECT_FALSE(ResumeRecordMatches(&theSession, own, 20030709, 11405, 300001));
    struct { const char* name; bool same; } names[] = {
        {"C:\\Documents and Settings\\bob\\Local Settings\\Temp\\~QRBL730010000.exe", false},
        {"C:\\Documents and Settings\\ann\\Local Settings\\Temp\\~QRBL730010000.ex", false},
        {"C:\\Documents and Settings\\ann\\Local Settings\\Temp\\~QRBL730010000.exe2", false},
        // Another case is another text: a byte-exact match or a restart.
        {"C:\\DOCUMENTS and Settings\\ann\\Local Settings\\Temp\\~QRBL730010000.exe", false},
        {"", false},
        {own, true},
    };
    for (auto& n : names)
        EXPECT_EQ(ResumeRecordMatches(&theSession, n.name, 20030709, 11405, 300000), n.same) << n.name;
}

TEST_F(ResumeRecord, NoMatchWithoutAUsableName) {
    const char* own = "C:\\TEMP\\~QRBL730010000.exe";
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\StubUnitTest\\Install\\00010000", 0, 0,
                              0, KEY_ALL_ACCESS, 0, &key, 0), ERROR_SUCCESS);
    DWORD values[3] = {20030709, 11405, 300000};
    const char* names[3] = {"Date", "Time", "Size"};
    for (int i = 0; i < 3; i++) RegSetValueExA(key, names[i], 0, REG_DWORD, (const BYTE*)&values[i], 4);
    // A record of the three numbers alone (as an older stub wrote it).
    EXPECT_FALSE(ResumeRecordMatches(&theSession, own, 20030709, 11405, 300000));
    // The name as another type.
    RegSetValueExA(key, "File", 0, REG_BINARY, (const BYTE*)own, lstrlenA(own) + 1);
    EXPECT_FALSE(ResumeRecordMatches(&theSession, own, 20030709, 11405, 300000));
    // A name longer than any file name the program can open.
    std::string longer = std::string(own) + std::string(400, 'x');
    RegSetValueExA(key, "File", 0, REG_SZ, (const BYTE*)longer.c_str(), longer.size() + 1);
    EXPECT_FALSE(ResumeRecordMatches(&theSession, own, 20030709, 11405, 300000));
    RegSetValueExA(key, "File", 0, REG_SZ, (const BYTE*)own, lstrlenA(own) + 1);
    EXPECT_TRUE(ResumeRecordMatches(&theSession, own, 20030709, 11405, 300000));
    RegCloseKey(key);
    // Zero is never an identity, even where the record holds zero.
    EXPECT_EQ(SaveResumeRecord(&theSession, own, 0, 11405, 0), 1u);
    EXPECT_FALSE(ResumeRecordMatches(&theSession, own, 0, 11405, 0));
}

TEST(ContentRange, OnlyTheRestOfTheSameFileFits) {
    struct { const char* text; DWORD first, total; int fits; } cases[] = {
        {"bytes 100-299/300", 100, 300, 1},
        {"bytes 0-299/300", 0, 300, 1},
        // Other spellings of the same range only cost a fresh start.
        {"BYTES 100-299/300", 100, 300, 0},
        {"bytes  100-299/300", 100, 300, 0},
        {"bytes 0100-299/300", 100, 300, 0},
        {"bytes 2147483748-2147583747/2147583748", 2147483748u, 2147583748u, 1},
        {"bytes 99-298/300", 100, 300, 0},          // starts elsewhere
        {"bytes 101-299/300", 100, 300, 0},
        {"bytes 100-298/300", 100, 300, 0},         // ends before the end
        {"bytes 100-299/301", 100, 300, 0},         // another total
        {"bytes 100-299/*", 100, 300, 0},
        {"bytes */300", 100, 300, 0},
        {"bytes 100-299", 100, 300, 0},
        {"bytes 100-299/300x", 100, 300, 0},
        {"bytes100-299/300", 100, 300, 0},
        {"items 100-299/300", 100, 300, 0},
        {"bytes -299/300", 100, 300, 0},
        {"", 100, 300, 0},
        // 2^32 + 300 is no file below 4 GiB, whatever it is modulo 2^32.
        {"bytes 100-4294967595/4294967596", 100, 300, 0},
        {"bytes 100-299/4294967596", 100, 300, 0},
        {"bytes 4294967396-4294967595/4294967596", 100, 300, 0},
    };
    for (auto& c : cases)
        EXPECT_EQ(ContentRangeFits(c.text, c.first, c.total), c.fits) << c.text;
}

TEST(DecodeEscapes, TurnsEscapesIntoCharacters) {
    struct { const char* in; const char* out; } cases[] = {
        {"/my%20setup.exe", "/my setup.exe"},
        {"/a%2fb%2Fc", "/a/b/c"},
        {"/100%", "/100%"},             // nothing after the sign
        {"/%4", "/%4"},                 // one digit only
        {"/%zz%41", "/%zzA"},           // not hex, then an escape
        {"/%2541", "/%41"},             // decoded once, never twice
        {"", ""},
    };
    for (auto& c : cases) {
        char text[64];
        lstrcpyA(text, c.in);
        DecodeEscapes(text);
        EXPECT_STREQ(text, c.out) << c.in;
    }
}

TEST(ParseRetries, DecimalsUpToTheLimitOnly) {
    struct Case {
        const char* text;
        DWORD ok, count;
    } cases[] = {
        {"", 1, 0},     {"0", 1, 0},   {"5", 1, 5},   {"20", 1, 20},  {"020", 1, 20},
        {"21", 0, 0},   {"100", 0, 0}, {"-1", 0, 0},  {" 5", 0, 0},   {"5 ", 0, 0},
        {"0x5", 0, 0},  {"five", 0, 0}, {"4294967301", 0, 0}, {"99999999999999999999", 0, 0},
    };
    for (const Case& c : cases) {
        DWORD count = 77;
        EXPECT_EQ(c.ok, ParseRetries(c.text, &count)) << c.text;
        EXPECT_EQ(c.ok ? c.count : 77, count) << c.text;
    }
}

TEST(WorthRetrying, OnlyWhatAnotherTryMayCure) {
    // HTTP statuses: the server's passing troubles, not the request's faults.
    for (DWORD status : {408u, 429u, 500u, 502u, 503u, 504u})
        EXPECT_TRUE(WorthRetrying(status, 1, 0)) << status;
    for (DWORD status : {400u, 401u, 403u, 404u, 410u, 416u, 499u, 501u, 505u, 101u, 302u})
        EXPECT_FALSE(WorthRetrying(status, 1, 0)) << status;
    // The same numbers as system codes are other errors.
    EXPECT_FALSE(WorthRetrying(503, 0, 0));
    for (DWORD code : {12002u, 12007u, 12029u, 12030u, 12031u, 10050u, 10051u, 10052u, 10053u,
                       10054u, 10060u, 10061u, 10064u, 10065u})
        EXPECT_TRUE(WorthRetrying(code, 0, 0)) << code;
    // Sockets' local troubles: no buffers, a socket state.
    for (DWORD code : {10049u, 10055u, 10056u, 10057u, 10062u, 10066u, 12000u, 12032u})
        EXPECT_FALSE(WorthRetrying(code, 0, 0)) << code;
    // Cancel, certificates, a full disk, a bad configuration.
    for (DWORD code : {0u, 12017u, 12045u, 12057u, 12169u, 12175u, 112u, 29u, 1610u, 577u,
                       8u, 12006u, 12152u})
        EXPECT_FALSE(WorthRetrying(code, 0, 0)) << code;
    // The FTP overrun: a file that grew between SIZE and RETR (the run
    // allows it one retry).
    EXPECT_TRUE(WorthRetrying(13, 0, 0));
    // FTP: the code of the server's reply to the failing command decides.
    for (DWORD reply : {421u, 450u, 451u, 452u, 499u})
        EXPECT_TRUE(WorthRetrying(12003, 0, reply)) << reply;
    for (DWORD reply : {0u, 221u, 226u, 399u, 500u, 502u, 530u, 550u})
        EXPECT_FALSE(WorthRetrying(12003, 0, reply)) << reply;
}

TEST(ServerFailure, OnlyWhatAnotherServerMayNotHave) {
    // Any HTTP status, the client's and the sockets' errors (certificates
    // and bad replies included), data that does not continue the kept bytes.
    for (DWORD status : {404u, 410u, 403u, 500u, 302u})
        EXPECT_TRUE(ServerFailure(status, 1)) << status;
    for (DWORD code : {12002u, 12003u, 12007u, 12029u, 12031u, 12045u, 12057u, 12152u, 12153u,
                       12175u, 10054u, 10061u, 13u})
        EXPECT_TRUE(ServerFailure(code, 0)) << code;
    // Local failures: no memory, the disk, the file, and no error at all.
    for (DWORD code : {0u, 5u, 8u, 29u, 32u, 39u, 112u, 1610u, 577u, 9999u, 13000u})
        EXPECT_FALSE(ServerFailure(code, 0)) << code;
}
