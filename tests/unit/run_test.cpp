// The text of the final error box.
#include <gtest/gtest.h>
#include <string>
#include "run/run.h"

static const std::string intro =
    "Setup could not download installation files.\n"
    "Please check your internet connection and firewall settings and try again.\n\n";

static std::string ErrorText(DWORD code, DWORD isStatus = 0) {
    char* text = FormatErrorText(code, isStatus);
    std::string copy = text ? text : "<null>";
    FreeBuffer(text);
    return copy;
}

// The text a message table has for code: the system's (module 0) or a
// module's own; empty when it has none.
static std::string TableText(HMODULE module, DWORD code) {
    char* found = 0;
    FormatMessageA((module ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM) |
                       FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                   module, code, 0, (LPSTR)&found, 0, 0);
    std::string copy = found ? found : "";
    LocalFree(found);
    return copy;
}

TEST(ErrorText, SystemTextWhenTheSystemKnowsTheCode) {
    std::string system = TableText(0, ERROR_FILE_NOT_FOUND);
    ASSERT_FALSE(system.empty());
    EXPECT_EQ(ErrorText(ERROR_FILE_NOT_FOUND), intro + "Error 2: " + system);
}

TEST(ErrorText, ClientCodesReadTheClientsOwnTable) {
    // The stub imports the client, so it is loaded whenever a box is shown;
    // this test program has no call into it.
    HMODULE client = LoadLibraryA("wininet.dll");
    ASSERT_TRUE(client);
    // A refused connection, a name that does not resolve, a time-out: the
    // commonest failures, for which the system's table has nothing.
    for (DWORD code : {12029u, 12007u, 12002u}) {
        std::string own = TableText(client, code);
        ASSERT_FALSE(own.empty()) << code;
        EXPECT_EQ(ErrorText(code), intro + "Error " + std::to_string(code) + ": " + own);
    }
    // One the client's table has no text for: the system's, else the code.
    std::string none = ErrorText(12031);
    EXPECT_TRUE(none == intro + "Error Code: 12031" ||
                none == intro + "Error 12031: " + TableText(0, 12031))
        << none;
}

TEST(ErrorText, CodeAloneWhenNoTableHasText) {
    EXPECT_EQ(ErrorText(0x20001234), intro + "Error Code: 536875572");
    // A fault's code in the form it is known by, not a negative number.
    EXPECT_EQ(ErrorText(0xC0000005), intro + "Error Code: 0xC0000005");
}

TEST(ErrorText, StatusIsNeverReadAsASystemCode) {
    EXPECT_EQ(ErrorText(404, 1), intro + "The server answered with HTTP status 404.");
    EXPECT_EQ(ErrorText(500, 1), intro + "The server answered with HTTP status 500.");
    // Statuses whose numbers the system's table names otherwise (Windows
    // from Vista on: 400, 500; Wine: 487, 534 ...).
    int named = 0;
    for (DWORD status = 400; status < 600; status++) {
        if (TableText(0, status).empty()) continue;
        named++;
        EXPECT_EQ(ErrorText(status, 1),
                  intro + "The server answered with HTTP status " + std::to_string(status) + ".");
    }
    EXPECT_GT(named, 0);
}

TEST(ErrorText, LongSystemTextIsBounded) {
    // Whatever the system text, the result stays within wsprintfA's limit.
    for (DWORD code = 1; code < 2000; code++) EXPECT_LE(ErrorText(code).size(), 1024u);
    for (DWORD code = 12000; code < 13000; code++) EXPECT_LE(ErrorText(code).size(), 1024u);
}

TEST(ErrorText, SetupThatFailedItsCheckHasATextOfItsOwn) {
    // Not a download problem: the box says what went wrong instead.
    EXPECT_EQ(ErrorText(577),
              "The downloaded file is not the expected setup.\n"
              "It may have been damaged or replaced on its way, so it was not started.\n"
              "Please try again later.\n\nError Code: 577");
    // A server's status of the same number is still a status.
    EXPECT_EQ(ErrorText(577, 1), intro + "The server answered with HTTP status 577.");
}
