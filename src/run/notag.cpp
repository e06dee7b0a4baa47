// A build that does not read the campaign tag (STUB_TAG=OFF), made only to
// measure what reading it costs.
#include "run.h"

void ReadTag(InstallSession*) {}
