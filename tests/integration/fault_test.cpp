// Faults around a transfer between two blockmend-cli processes (POSIX).
#include <gtest/gtest.h>
