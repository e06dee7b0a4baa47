// Event reporting: the start and finish pings to the vendor's event script.
#pragma once
#include "../run/run.h"

DWORD SendEvent(const InstallSession* session, int mode);
