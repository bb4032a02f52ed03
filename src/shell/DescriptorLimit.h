// The process's limit on open descriptors.
#pragma once

#include <sys/resource.h>

// Raises the soft limit to the hard one, which the system allows without
// privileges, and returns the soft limit now in force.
rlim_t raiseDescriptorLimit();
