// Embedded configuration: the stamp block, the TEXT resources and the two
// process-wide records.
#include "run.h"

const char EmptyString[1] = "";

// Kept in .data so a stamping tool finds it in the file; volatile so the
// two parameters are read from the stored block, never folded into code.
__attribute__((section(".data"), used))
volatile StampBlock stampBlock = {
    {0x17, 0x16, 0x15, 0x14, '6', '7', '8', '9', '6', '7', '8', '9'},
    STUB_INSTALL_NUMBER,
    STUB_QUIET,
    0,
};

InstallSession theSession = {
    sizeof(InstallSession),
    EmptyString, EmptyString, EmptyString, EmptyString, EmptyString,
    0,
    0, 0,
};
TransferState theState;
HINSTANCE instanceHandle;

const char* LoadTextResource(UINT id) {
    HRSRC found = FindResourceA(instanceHandle, MAKEINTRESOURCEA(id & 0xFFFF), "TEXT");
    if (!found) return EmptyString;
    HGLOBAL loaded = LoadResource(instanceHandle, found);
    if (!loaded) return EmptyString;
    const char* bytes = (const char*)LockResource(loaded);
    if (!bytes) return EmptyString;
    DWORD size = SizeofResource(instanceHandle, found);
    char* text = AllocBuffer(size + 1);
    if (!text) return EmptyString;
    for (DWORD i = 0; i < size; i++) text[i] = bytes[i];
    return text;  // zero-filled, so terminated at size
}

void LoadConfiguration() {
    theSession.productCode = LoadTextResource(IDT_PRODUCT_CODE);
    theSession.downloadUrl = LoadTextResource(IDT_DOWNLOAD_URL);
    theSession.registryKey = LoadTextResource(IDT_REGISTRY_KEY);
    theSession.title = LoadTextResource(IDT_TITLE);
    theSession.campaign = LoadTextResource(IDT_CAMPAIGN);
    theSession.eventUrl = LoadTextResource(IDT_EVENT_URL);
}

const char* GetRegistryKey() { return theSession.registryKey; }
const char* GetTitle() { return theSession.title; }
const char* GetDownloadUrl() { return theSession.downloadUrl; }

void LockHandles(TransferState* state) {
    while (InterlockedExchange(&state->handleLock, 1)) {
        // The holder may be waiting for this thread to handle a message sent
        // to its window (the hiding of the dialog): let it through.
        MSG message;
        PeekMessageA(&message, 0, 0, 0, PM_NOREMOVE);
        Sleep(1);
    }
}

void UnlockHandles(TransferState* state) {
    InterlockedExchange(&state->handleLock, 0);  // after the fields it guards
}
