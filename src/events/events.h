// Event reporting: the start and finish pings to the vendor's event script.
#pragma once
#include "../run/run.h"

DWORD SendEvent(const InstallSession* session, int mode);

#ifdef STUB_SEAMS
// Test builds report the reply buffer's size after the last ping.
extern DWORD SeamReplyCapacity;
#endif
