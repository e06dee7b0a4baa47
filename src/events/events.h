// Event reporting: the start and finish pings to the vendor's event script.
#pragma once
#include "../run/run.h"

// Sends one ping and waits for it a bounded time; 1 when a reply arrived.
DWORD SendEvent(const InstallSession* session, int mode);
// Whether the calling thread is one a ping runs on.
int OnPingThread();

#ifdef STUB_SEAMS
// Test builds can act inside a ping once its request is open.
extern void (*SeamPingHook)();
#endif
