#pragma once
// POSIX: the device is a file descriptor (-1 when none); transfers complete before the call returns,
// so a request record only remembers the byte count of its last transfer.
using SerialHandle = int;
inline constexpr SerialHandle kNoSerialHandle = -1;
struct SerialRequest {
    int nLastCount = 0;
};
