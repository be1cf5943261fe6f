#include "discovery/memory/MemoryRegistry.h"

// No registry exists here: the program sees an empty one unless something fills it.
IRegistry& SystemRegistry()
{
    static CMemoryRegistry registry;
    return registry;
}
