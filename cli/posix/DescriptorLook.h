#pragma once
// The /proc scan and the udev look at the followed slots run on different threads. libudev is not
// built with ThreadSanitizer and opens its descriptors through calls it does not see, so when the
// scan gets a descriptor number that libudev has just closed, ThreadSanitizer sees no order between
// the two and reports a race on the descriptor. Both looks take this lock: the order is then real
// and seen, and a look never waits long (each is a few milliseconds).
#include <mutex>

std::mutex& DescriptorLookMutex();
