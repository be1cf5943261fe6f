#pragma once
// The simulated back end: the handle is the simulated device that the port is attached to.
class CSimDevice;
using SerialHandle = CSimDevice*;
struct SerialRequest {
    int nLastCount = 0;
};
