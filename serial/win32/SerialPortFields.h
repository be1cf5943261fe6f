#pragma once
#include <windows.h>

using SerialHandle = HANDLE;
inline constexpr SerialHandle kNoSerialHandle = nullptr;
using SerialRequest = OVERLAPPED;
