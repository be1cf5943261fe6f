// STUB: to be replaced by the Win32 registry.
#include "discovery/memory/MemoryRegistry.h"

IRegistry& SystemRegistry()
{
    static CMemoryRegistry registry;
    return registry;
}
