// Campaign tag: a campaign and install number that tools/stamp writes into
// the signer's unauthenticated attributes, where they do not break the
// signature. Anyone can change them, so they are taken only when every rule
// of the layout holds, and they never touch what is downloaded or started.
#include "run.h"

// The attribute up to the payload's magic and version, as tools/stamp
// writes it: SEQUENCE { OID 2.25.69121043752023339471097667153161547427,
// SET { OCTET STRING of 1024 bytes } }, lengths in their fixed long form.
static const unsigned char tagPrefix[] = {
    0x30, 0x82, 0x04, 0x1d, 0x06, 0x13, 0x69, 0xe8, 0x80, 0x9d, 0xa4, 0xc9, 0xdf, 0xfa,
    0xab, 0xa7, 0xb4, 0xa9, 0xcd, 0xde, 0xea, 0x82, 0x9b, 0xdd, 0x23, 0x31, 0x82, 0x04,
    0x04, 0x04, 0x82, 0x04, 0x00, 'Q', 'R', 'B', 'L', 'T', 'A', 'G', 0x01,
};
enum {
    TAG_MAGIC_AT = sizeof(tagPrefix) - 8,  // where the payload starts
    TAG_ROOM = 1024,                       // the payload: magic, fields, zeros
    TAG_SIZE = TAG_MAGIC_AT + TAG_ROOM,
    TAG_FIELDS = 14,                       // magic, flags, length, install number
    TAG_MAX_CAMPAIGN = 64,
    TAG_MAX_TABLE = 65536                  // read at most this much of the table
};

// The payload's campaign when every rule holds, else 0; the install number
// goes to *number when the tag gives one.
static const char* CheckTag(const unsigned char* payload, DWORD* number) {
    DWORD flags = payload[8];
    DWORD length = payload[9];
    DWORD given = payload[10] | payload[11] << 8 | payload[12] << 16 | (DWORD)payload[13] << 24;
    if (flags > 1 || length - 1 >= TAG_MAX_CAMPAIGN || given > 0x7FFFFFFF || (!flags && given))
        return 0;
    // The campaign's characters, then its terminator and nothing but zeros.
    for (DWORD at = 0; at < TAG_ROOM - TAG_FIELDS; at++) {
        unsigned char c = payload[TAG_FIELDS + at];
        unsigned char letter = c | 0x20;
        int allowed = (letter >= 'a' && letter <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                      c == '_' || c == '.';
        if (at < length ? !allowed : c != 0) return 0;
    }
    if (flags) *number = given;
    return (const char*)payload + TAG_FIELDS;
}

void ReadTag(InstallSession* session) {
    const unsigned char* base = (const unsigned char*)instanceHandle;
    const IMAGE_NT_HEADERS* headers =
        (const IMAGE_NT_HEADERS*)(base + ((const IMAGE_DOS_HEADER*)base)->e_lfanew);
    if (headers->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_SECURITY) return;
    // For the certificate table the directory holds a file offset, not an address.
    const IMAGE_DATA_DIRECTORY* table =
        &headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY];
    DWORD offset = table->VirtualAddress;
    DWORD size = table->Size;
    if (size > TAG_MAX_TABLE) size = TAG_MAX_TABLE;
    if (size < TAG_SIZE || offset > 0x7FFFFFFF) return;

    char path[MAX_PATH + 1];
    DWORD pathLength = GetModuleFileNameA(0, path, MAX_PATH);
    if (!pathLength || pathLength >= MAX_PATH) return;
    // The running image is open for reading only: sharing reads (and writes,
    // for a loader that asked for more) lets a second reader in on every
    // version.
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0,
                              OPEN_EXISTING, 0, 0);
    if (file == INVALID_HANDLE_VALUE) return;
    unsigned char* bytes = (unsigned char*)AllocBuffer(size);
    DWORD got = 0;
    const char* campaign = 0;
    if (bytes && SetFilePointer(file, offset, 0, FILE_BEGIN) == offset &&
        ReadFile(file, bytes, size, &got, 0) && got >= TAG_SIZE) {
        // The first attribute of this shape is the tag; the scan stays
        // within the bytes read, which stay within the table.
        for (DWORD at = 0; at <= got - TAG_SIZE; at++) {
            DWORD same = 0;
            while (same < sizeof(tagPrefix) && bytes[at + same] == tagPrefix[same]) same++;
            if (same == sizeof(tagPrefix)) {
                campaign = CheckTag(bytes + at + TAG_MAGIC_AT, &session->installNumber);
                break;
            }
        }
    }
    CloseHandle(file);  // opened for reading: nothing is lost if it fails
    if (campaign) {
        session->campaign = campaign;  // kept, like the other configuration texts
    } else {
        FreeBuffer(bytes);
    }
}
