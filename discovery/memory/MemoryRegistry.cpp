// STUB: to be replaced by the in-memory registry.
#include "discovery/memory/MemoryRegistry.h"

void CMemoryRegistry::AddKey(const std::string&) {}
void CMemoryRegistry::SetDword(const std::string&, const std::string&, uint32_t) {}
void CMemoryRegistry::SetString(const std::string&, const std::string&, const std::string&) {}
void CMemoryRegistry::SetBytes(const std::string&, const std::string&, const std::vector<uint8_t>&) {}
void CMemoryRegistry::RemoveKey(const std::string&) {}
void CMemoryRegistry::Clear() {}
bool CMemoryRegistry::OpenKey(const std::string&, uint32_t, RegKey*) { return false; }
bool CMemoryRegistry::QueryValue(RegKey, const std::string&, void*, uint32_t*) { return false; }
void CMemoryRegistry::CloseKey(RegKey) {}
std::vector<CMemoryRegistry::OpenRecord> CMemoryRegistry::Opens() const { return {}; }
size_t CMemoryRegistry::OpenKeyCount() const { return 0; }
std::string CMemoryRegistry::Fold(const std::string& s) { return s; }
