// A portable header gone wrong, for the check's own test.
#pragma once
#include <sys/types.h>

pid_t leaky_pid();
