// The text of the final error box.
#include <gtest/gtest.h>
#include <string>
#include "run/run.h"

static const std::string intro =
    "Setup could not download installation files.\n"
    "Please check your internet connection and firewall settings and try again.\n\n";

static std::string ErrorText(DWORD code) {
    char* text = FormatErrorText(code);
    std::string copy = text ? text : "<null>";
    FreeBuffer(text);
    return copy;
}

TEST(ErrorText, SystemTextWhenTheSystemKnowsTheCode) {
    char* system = 0;
    ASSERT_TRUE(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                   FORMAT_MESSAGE_ALLOCATE_BUFFER,
                               0, ERROR_FILE_NOT_FOUND, 0, (LPSTR)&system, 0, 0));
    EXPECT_EQ(ErrorText(ERROR_FILE_NOT_FOUND), intro + "Error 2: " + system);
    LocalFree(system);
}

TEST(ErrorText, CodeAloneWhenTheSystemHasNoText) {
    // An HTTP status and an internet client code without system text.
    EXPECT_EQ(ErrorText(404), intro + "Error Code: 404");
    EXPECT_EQ(ErrorText(0x20001234), intro + "Error Code: 536875572");
}

TEST(ErrorText, LongSystemTextIsBounded) {
    // Whatever the system text, the result stays within wsprintfA's limit.
    for (DWORD code = 1; code < 2000; code++) EXPECT_LE(ErrorText(code).size(), 1024u);
}
