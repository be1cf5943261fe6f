#pragma once
#include <windows.h>

using SerialHandle = HANDLE;
using SerialRequest = OVERLAPPED;
