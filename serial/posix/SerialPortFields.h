#pragma once
// POSIX: the device is a file descriptor (-1 when none); requests complete synchronously, so the
// request records only remember the last transfer's count.
using SerialHandle = int;
struct SerialRequest {
    int nLastCount = 0;
};
