// Transfer: the choice of protocol, the HTTP and FTP downloads, the resume
// record, and the client's name for servers.
#pragma once
#include "../run/run.h"

DWORD DownloadFile(TransferState* state, const char* url, const char* fileName, DWORD resume);
DWORD DownloadHttp(TransferState* state, const char* url, const char* fileName, DWORD resume);
DWORD DownloadFtp(TransferState* state, const char* url, const char* fileName, DWORD resume);

// Shared by both transfers (shared.cpp): the opening of session and output file, closing
// what the record holds (and clearing the field), and the last error or a
// stand-in when the failing call left none.
int OpenTransfer(TransferState* state, const char* fileName, DWORD resume, DWORD* kept);
// Stores a handle just opened in its field, under the lock a cancel's cut
// takes; after a confirmed cancel it is not kept (returns 0).
HINTERNET KeepHandle(TransferState* state, HINTERNET* field, HINTERNET handle);
void CloseRequest(TransferState* state);
void CloseSession(TransferState* state);
void CloseInternet(TransferState* state);
void CloseOutput(TransferState* state);
// Closes a handle opened on the request handle (the FTP data) unless a
// cancel has closed that already.
void CloseChild(TransferState* state, HINTERNET child);
// A confirmed cancel, on the progress thread: closes the request and the
// session of a running transfer; non-zero when there was one.
int CutTransfer(TransferState* state);
DWORD LastErrorOr(DWORD fallback);
// The stall watchdog. A try runs on a thread of its own and marks each wait
// for the network; one that waits stallLimit without a byte is cut and
// fails with ERROR_INTERNET_TIMEOUT, and the run goes on without its
// thread, which ends as soon as its wait returns, touching nothing.
DWORD WatchedDownload(TransferState* state, const char* url, const char* fileName, DWORD resume);
// The marks of a try's wait for the network, on theState.
void AwaitNetwork();
void ArriveNetwork();
template <class T> inline T Arrived(T value) {
    ArriveNetwork();
    return value;
}
// A call of the transfer that waits for the network, watched.
#define WATCHED(call) (AwaitNetwork(), Arrived(call))
// A continuation asks for this many bytes before the kept end again (all of
// them when fewer are kept) and compares them with the file.
enum { resumeOverlap = 4096 };
// Moves the output file's position to at (below 4 GiB).
void SeekOutput(TransferState* state, DWORD at);
// Empties the output file; 0 with the last error set when it cannot.
int EmptyOutput(TransferState* state);
// Sets the output file's attributes, closing and reopening it where the
// system refuses them on an open file; 0 when they could not be set, and
// fileHandle the invalid-handle value when the file could not be reopened.
int SetOutputAttributes(TransferState* state, const char* fileName, DWORD attributes);
// Takes count bytes of data at the output file's position: while *overlap
// is above 0 they are compared with the kept bytes there (and *overlap
// counts down), the rest is written (and added to *written). 0 when taken,
// ERROR_INVALID_DATA when the data differs from the kept bytes, else the
// error of the failing read or write.
DWORD TakeData(TransferState* state, const char* data, DWORD count, DWORD* overlap,
               DWORD* written);
// Stores the resume record of the output file, or, where it cannot be
// stored, marks the file (system attribute) so that no run continues it;
// 0 with errorCode set when neither can be done.
int RecordTransfer(TransferState* state, const char* fileName, DWORD date, DWORD time,
                   DWORD size);

// Retries within the run (TEXT 2011: decimal, 0 to maxRetries) and the
// second server (TEXT 2012).
enum { maxRetries = 20 };
extern DWORD retryLimit;
// 1 with the count when text is empty or a decimal of at most maxRetries.
DWORD ParseRetries(const char* text, DWORD* count);
// Reads TEXT 2011 and 2012; 0 when the count is malformed, a broken
// distribution.
DWORD LoadRetries();
// A status that says the server cannot serve now, not that it will not:
// 408, 429, 500, 502, 503 and 504.
inline int ServerBusy(DWORD status) {
    return status == 408 || status == 429 || (status - 500 <= 4 && status != 501);
}
// Whether another try may cure a failure of this code (an HTTP status when
// isStatus is set; reply: the FTP server's reply code to the failing
// command, or 0).
int WorthRetrying(DWORD code, DWORD isStatus, DWORD reply);
// Whether a failure is one of the server or the way to it, after which the
// second server is asked (an HTTP status when isStatus is set).
int ServerFailure(DWORD code, DWORD isStatus);
// The download of the setup into fileName, retried as the distribution
// allows, then from the second server where one is given and the first
// failed; the result of the last try.
DWORD FetchSetup(TransferState* state, const char* fileName, DWORD resume);

// Server replies.
DWORD ParseDecimal(const char* text, DWORD maxChars);
// A byte count as servers send it: decimal digits, then only blanks and line
// ends. 0 for a text without digits, with other characters or of 4 GiB or
// more.
int ParseLength(const char* text, DWORD* length);
const char* ReplyNumberPart(const char* reply);
// The FTP server's last reply, cut at its length, in buffer (8192 bytes);
// its length, or 0 when there is none or it does not fit with its end.
DWORD FetchReply(char* buffer);
void DecodeEscapes(char* text);
// The value of one hexadecimal digit (either case), or -1.
int HexValue(char c);
// Whether two texts are the same, byte for byte (no locale, no case folding).
int SameText(const char* a, const char* b);
// Whether a Last-Modified text can be handed to the client's date conversion.
int HttpDateUsable(const char* text);
// Whether a Content-Range text is "bytes F-L/T" naming the rest of a file
// of total bytes from first on.
int ContentRangeFits(const char* text, DWORD first, DWORD total);

// Resume record: the identity of a partial download under the registry key.
DWORD SaveResumeValue(const InstallSession* session, const char* name, DWORD value);
DWORD LoadResumeValue(const InstallSession* session, const char* name);
// 1 when the record is gone (or was never there).
int DeleteResumeRecord(const InstallSession* session);
// Whether the record vouches for continuing fileName as a part of the
// server's file of this date, time and size (none of them 0).
int ResumeRecordMatches(const InstallSession* session, const char* fileName, DWORD date,
                        DWORD time, DWORD size);
// Stores "Date", "Time", "Size" and "File" (the partial file's full name);
// 1 when all four were stored.
DWORD SaveResumeRecord(const InstallSession* session, const char* fileName, DWORD date,
                       DWORD time, DWORD size);
inline DWORD PackDate(DWORD year, DWORD month, DWORD day) { return year * 10000 + month * 100 + day; }
inline DWORD PackTime(DWORD hour, DWORD minute) { return 10000 + hour * 100 + minute; }

// Client identity.
extern DWORD OsKind;
void DetectOsKind();
DWORD OsKindFor(DWORD major, DWORD minor, DWORD platform);
void FormatOsName(DWORD kind, DWORD major, DWORD minor, char* buffer);
void GetOsName(char* buffer);
const char* GetAgentString();
HINTERNET OpenInternetSession();

#ifdef STUB_SEAMS
// Test builds can replace the FTP command call, or look up a name that is
// not there, as with a client older than Internet Explorer 5.
extern BOOL (WINAPI* SeamFtpCommand)(HINTERNET, BOOL, DWORD, LPCSTR, DWORD_PTR, HINTERNET*);
extern const char* SeamFtpCommandName;
// And the call that opens every internet session.
extern HINTERNET(WINAPI* SeamInternetOpen)(LPCSTR, DWORD, LPCSTR, LPCSTR, DWORD);
// And the call that hands over the FTP server's last reply.
extern BOOL(WINAPI* SeamLastResponse)(LPDWORD, LPSTR, LPDWORD);
#endif
