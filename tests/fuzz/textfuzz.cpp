// libFuzzer target over the product's text and number code, built natively
// with AddressSanitizer (tests/fuzz/run): ParseDecimal, ReplyNumberPart,
// FindSubstring, FindSubstringWithin, FormatSize and FormatProgressLines.
// Every input lives in a heap block of its exact size and every output in a
// block of its documented capacity (20 bytes for a size, 80 for a line), so
// a read or write past either end is reported; results are compared with
// small reference versions of the rules, and a difference stops the run.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>
#include "handover/handover.h"
#include "progress/progress.h"
#include "transfer/transfer.h"

// What the three product files need from the rest of the program; none of
// it is reached by the functions tried here.
InstallSession theSession;
const char* GetAgentString() { abort(); }
int ResumeRecordMatches(const InstallSession*, const char*, DWORD, DWORD, DWORD) { abort(); }
int RecordTransfer(TransferState*, const char*, DWORD, DWORD, DWORD) { abort(); }
void DeleteResumeRecord(const InstallSession*) { abort(); }
DWORD DownloadHttp(TransferState*, const char*, const char*, DWORD) { abort(); }
int OpenTransfer(TransferState*, const char*, DWORD, DWORD*) { abort(); }
void CloseInternet(TransferState*) { abort(); }
DWORD LastErrorOr(DWORD) { abort(); }

namespace {

struct Input {
    const uint8_t* data;
    size_t size;
    uint32_t Number() {
        uint32_t value = 0;
        for (int i = 0; i < 4; i++) value = value << 8 | Byte();
        return value;
    }
    uint8_t Byte() {
        if (!size) return 0;
        size--;
        return *data++;
    }
    std::string Rest() { return std::string((const char*)data, size); }
};

// A zero-terminated copy in a block of exactly its size.
struct Text {
    explicit Text(const std::string& bytes) : text((char*)malloc(bytes.size() + 1)) {
        memcpy(text, bytes.data(), bytes.size());
        text[bytes.size()] = 0;
    }
    ~Text() { free(text); }
    char* text;
};

void Expect(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "differs from the rule: %s\n", what);
        abort();
    }
}

std::string Before0(const std::string& s) { return s.substr(0, s.find('\0')); }

uint32_t ReferenceDecimal(const std::string& text, uint32_t maxChars) {
    uint32_t value = 0;
    std::string t = Before0(text);
    for (size_t i = 0; i < t.size() && (maxChars == 0 || i < maxChars); i++)
        if (t[i] >= '0' && t[i] <= '9') value = value * 10 + (uint32_t)(t[i] - '0');
    return value;
}

std::string ReferenceSize(uint32_t bytes) {
    char text[64];
    uint32_t k = bytes >> 10;
    if (k < 1000)
        snprintf(text, sizeof text, "%u KB", k);
    else
        snprintf(text, sizeof text, "%u.%u MB", k / 1024, (k % 1024) * 10 / 1024);
    return text;
}

void TryParseDecimal(Input in) {
    uint32_t maxChars = in.Byte() & 0x1F;
    if (maxChars == 0x1F) maxChars = in.Number();
    std::string bytes = in.Rest();
    Text t(bytes);
    Expect(ParseDecimal(t.text, maxChars) == ReferenceDecimal(bytes, maxChars), "ParseDecimal");
}

void TryReplyNumberPart(Input in) {
    std::string bytes = in.Rest();
    Text t(bytes);
    const char* part = ReplyNumberPart(t.text);
    std::string reply = Before0(bytes);
    size_t at = 0;
    while (at < reply.size() && reply[at] != ' ') at++;
    while (at < reply.size() && reply[at] == ' ') at++;
    Expect(part == t.text + at, "ReplyNumberPart");
    Expect(ParseDecimal(part, 8) == ReferenceDecimal(reply.substr(at), 8), "ParseDecimal of the number part");
}

void TryFindSubstring(Input in) {
    size_t split = in.Byte();
    std::string bytes = in.Rest();
    split = bytes.empty() ? 0 : split % (bytes.size() + 1);
    std::string text = Before0(bytes.substr(0, split)), pattern = Before0(bytes.substr(split));
    Text t(text), p(pattern);
    size_t found = text.empty() ? std::string::npos : text.find(pattern);
    LONG want = found == std::string::npos ? -1 : (LONG)found;
    Expect(FindSubstring(t.text, p.text) == want, "FindSubstring");
}

// The bounded search reads nothing at or past its limit: the text sits in
// a block of exactly that many bytes, with no terminator.
void TryFindSubstringWithin(Input in) {
    size_t split = in.Byte();
    std::string bytes = in.Rest();
    split = bytes.empty() ? 0 : split % (bytes.size() + 1);
    std::string text = bytes.substr(0, split), pattern = Before0(bytes.substr(split));
    char* block = (char*)malloc(text.size() ? text.size() : 1);
    memcpy(block, text.data(), text.size());
    Text p(pattern);
    std::string seen = Before0(text);
    size_t found = seen.empty() ? std::string::npos : seen.find(pattern);
    LONG want = found == std::string::npos ? -1 : (LONG)found;
    Expect(FindSubstringWithin(block, (DWORD)text.size(), p.text) == want, "FindSubstringWithin");
    free(block);
}

void TryFormatSize(Input in) {
    uint32_t bytes = in.Number();
    char* text = (char*)malloc(20);
    FormatSize(bytes, text);
    Expect(text == ReferenceSize(bytes), "FormatSize");
    free(text);
}

void TryProgressLines(Input in) {
    TransferState state = {};
    state.startTick = in.Number();
    state.totalBytes = in.Number();
    state.baseBytes = in.Number();
    state.doneBytes = in.Number();
    uint32_t now = in.Number();
    char* timeLine = (char*)malloc(80);
    char* rateLine = (char*)malloc(80);
    FormatProgressLines(&state, now, timeLine, rateLine);

    LONG elapsed = (LONG)(now - state.startTick) / 1000;
    if (elapsed == 0) elapsed = 1;
    LONG thisRun = (LONG)(state.doneBytes - state.baseBytes);
    char time[64] = "n/a", rate[64] = "n/a";
    if (thisRun > 0 && elapsed > 0) {
        LONG perSecond = thisRun / elapsed;
        LONG left = (LONG)(state.totalBytes - state.doneBytes);
        if (perSecond != 0 && state.totalBytes != 0 && left >= 0) {
            left /= perSecond;
            if (left <= 60)
                snprintf(time, sizeof time, "%d sec", left);
            else
                snprintf(time, sizeof time, "%d min %d sec", left / 60, left % 60);
        }
    }
    if (thisRun > 0) snprintf(rate, sizeof rate, "%d KB/Sec", thisRun / 1024 / elapsed);
    std::string line = std::string(time) + " (" + ReferenceSize(state.doneBytes) + " of " +
                       ReferenceSize(state.totalBytes) + " downloaded)";
    Expect(timeLine == line, "the time-left line");
    Expect(strcmp(rateLine, rate) == 0, "the rate line");
    free(timeLine);
    free(rateLine);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    switch (in.Byte() % 6) {
    case 0: TryParseDecimal(in); break;
    case 1: TryReplyNumberPart(in); break;
    case 2: TryFindSubstring(in); break;
    case 3: TryFormatSize(in); break;
    case 4: TryFindSubstringWithin(in); break;
    default: TryProgressLines(in); break;
    }
    return 0;
}
