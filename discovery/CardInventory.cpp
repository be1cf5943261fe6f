#include "discovery/CardInventory.h"

const char* PortRoleName(EPortRole eRole)
{
    switch (eRole) {
    case EPortRole::kModem: return "modem";
    case EPortRole::kDiagnostic: return "diagnostic";
    case EPortRole::kAt: return "AT";
    case EPortRole::kUnknown: break;
    }
    return "unknown";
}
