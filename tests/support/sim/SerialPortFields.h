#pragma once
// The simulated back end: the handle is the simulated device that the port is attached to.
class CSimDevice;
using SerialHandle = CSimDevice*;
inline constexpr SerialHandle kNoSerialHandle = nullptr;
struct SerialRequest {
    int nLastCount = 0;
};
