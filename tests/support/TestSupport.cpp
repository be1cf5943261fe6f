// Test support code shared by the unit tests.
#include "tests/support/VirtualClock.h"
