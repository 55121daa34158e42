#pragma once

#include <sys/types.h>

namespace kestrova::testing {

// What a running process holds, read from /proc: its open descriptors and its resident memory; -1 when gone.
int openDescriptors(pid_t pid);
long residentKiB(pid_t pid);

}  // namespace kestrova::testing
