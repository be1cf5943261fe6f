// SearchModemPort and SearchAtPort over an in-memory registry decoded from the input: which
// driver services have an Enum key, their Count of any size, instance values of any bytes and
// length, and Device Parameters\PortName of any bytes. After each call no key is open, every open
// asked for KEY_ALL_ACCESS (KEY_READ only for a key that has just refused it), and the result and
// the window's fields are exactly what a separate reading of the same registry predicts; the
// command line's search, with KEY_READ alone, finds the same. Some inputs also make one value read run out of memory:
// the call must still close every key and write nothing the rules do not allow.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "discovery/Discovery.h"
#include "discovery/PortDiscovery.h"
#include "discovery/memory/MemoryRegistry.h"
#include "tests/support/RecordingRegistry.h"

namespace {

// Every service of the three lists once, in the modem, diagnostic, AT lists' order.
constexpr std::array<const char*, 15> kAllServices = {
    "YARLOusbmdm6k", "ONDAusbmdm6k", "qcusbmdm6k", "HSPADataCardusbmdm", "zgdccmdm", "zgdcmdm",
    "YARLOusbser6k", "HSPADataCardusbser", "ONDAusbser6k", "qcusbser6k", "zgdccdiag", "zgdcdiag",
    "YARLOusbnmea", "zgdccat", "zgdcat"};

constexpr int kMaxRecords = 48;

std::string EnumPath(const char* pszService)
{
    return std::string("SYSTEM\\CurrentControlSet\\Services\\") + pszService + "\\Enum";
}

std::string PortPath(const std::string& strInstance)
{
    return "SYSTEM\\CurrentControlSet\\Enum\\" + strInstance + "\\Device Parameters";
}

std::string CanonicalInstance(int nIndex)
{
    return "USB\\VID_12D1&PID_1001&MI_0" + std::to_string(nIndex) + "\\7&1A2B3C&0&000" + std::to_string(nIndex);
}

// A value's bytes around a well-formed text: terminated, unterminated, any short bytes, or a text
// padded to the edges of the 1024-byte buffer.
std::vector<uint8_t> ValueBytes(FuzzedDataProvider& input, const std::string& strCanonical)
{
    std::vector<uint8_t> bytes(strCanonical.begin(), strCanonical.end());
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        bytes.push_back(0);
        break;
    case 1:
        break;
    case 2: {
        const std::string strRaw = input.ConsumeRandomLengthString(64);
        bytes.assign(strRaw.begin(), strRaw.end());
        break;
    }
    default: {
        const size_t nLength = input.ConsumeIntegralInRange<size_t>(1018, 1030);
        bytes.resize(nLength, input.ConsumeIntegral<uint8_t>());
        if (input.ConsumeBool())
            bytes.back() = 0;
        break;
    }
    }
    return bytes;
}

std::string PortNameText(FuzzedDataProvider& input)
{
    if (input.ConsumeBool())
        return "COM" + std::to_string(input.ConsumeIntegral<int16_t>());
    return input.ConsumeRandomLengthString(24);
}

void Decode(FuzzedDataProvider& input, CMemoryRegistry& registry)
{
    for (int nRecord = 0; nRecord < kMaxRecords && input.remaining_bytes() > 0; ++nRecord) {
        const int nKind = input.ConsumeIntegralInRange<int>(0, 5);
        const char* pszService = kAllServices[input.ConsumeIntegralInRange<size_t>(0, kAllServices.size() - 1)];
        const std::string strEnum = EnumPath(pszService);
        switch (nKind) {
        case 0:   // the driver is installed, nothing listed
            registry.AddKey(strEnum);
            break;
        case 1:   // a plausible Count
            registry.SetDword(strEnum, "Count", input.ConsumeIntegralInRange<uint32_t>(0, 4));
            break;
        case 2: {   // Count of any size and bits
            const std::string strRaw = input.ConsumeBytesAsString(input.ConsumeIntegralInRange<size_t>(0, 8));
            registry.SetBytes(strEnum, "Count", std::vector<uint8_t>(strRaw.begin(), strRaw.end()));
            break;
        }
        case 3: {   // an instance value, named as Count - 1 would name it
            const std::string strName = std::to_string(input.ConsumeIntegralInRange<int>(-1, 3));
            registry.SetBytes(strEnum, strName, ValueBytes(input, CanonicalInstance(input.ConsumeIntegralInRange<int>(0, 3))));
            break;
        }
        case 4: {   // an instance's port name
            const std::string strPort = PortPath(CanonicalInstance(input.ConsumeIntegralInRange<int>(0, 3)));
            registry.SetBytes(strPort, "PortName", ValueBytes(input, PortNameText(input)));
            break;
        }
        default:   // an instance's port key without a port name
            registry.AddKey(PortPath(CanonicalInstance(input.ConsumeIntegralInRange<int>(0, 3))));
            break;
        }
    }
}

// ---- the prediction: the same registry read by plain rules --------------------------------------

struct CFound {
    std::string strInstance;
    uint32_t nCount;
};

std::optional<std::string> ReadText(IRegistry& registry, RegKey key, const std::string& strName)
{
    std::vector<char> buffer(kValueBufferSize, '\0');
    uint32_t nSize = kValueBufferSize;
    if (!registry.QueryValue(key, strName, buffer.data(), &nSize))
        return std::nullopt;
    const auto itEnd = buffer.begin() + nSize;
    const auto itNul = std::find(buffer.begin(), itEnd, '\0');
    if (itNul == itEnd && nSize == kValueBufferSize)
        return std::nullopt;   // no room left for the terminator
    return std::string(buffer.begin(), itNul);
}

// The window's open: KEY_ALL_ACCESS, and KEY_READ for a key that refuses it.
bool PredictOpen(IRegistry& registry, const std::string& strPath, RegKey* pKey)
{
    const ERegOpen eOpen = registry.Open(strPath, kKeyAllAccess, pKey);
    return eOpen == ERegOpen::kOpened || (eOpen == ERegOpen::kDenied && registry.OpenKey(strPath, kKeyRead, pKey));
}

std::optional<CFound> PredictService(IRegistry& registry, const char* pszService)
{
    RegKey key = 0;
    if (!PredictOpen(registry, EnumPath(pszService), &key))
        return std::nullopt;
    uint8_t count[4] = {};
    uint32_t nSize = sizeof(count);
    std::optional<std::string> strInstance;
    uint32_t nCount = 0;
    if (registry.QueryValue(key, "Count", count, &nSize)) {
        nCount = count[0] | count[1] << 8 | count[2] << 16 | static_cast<uint32_t>(count[3]) << 24;
        const long long nLast = static_cast<long long>(nCount) - 1;
        strInstance = ReadText(registry, key, std::to_string(nLast > INT32_MAX ? nLast - 0x100000000LL : nLast));
    }
    registry.CloseKey(key);
    if (!strInstance)
        return std::nullopt;
    return CFound{*strInstance, nCount};
}

template <size_t N>
std::optional<CFound> PredictSearch(IRegistry& registry, const std::array<const char*, N>& services)
{
    for (const char* pszService : services)
        if (std::optional<CFound> found = PredictService(registry, pszService))
            return found;
    return std::nullopt;
}

std::optional<int> PredictPort(IRegistry& registry, const std::string& strInstance)
{
    RegKey key = 0;
    if (!PredictOpen(registry, PortPath(strInstance), &key))
        return std::nullopt;
    const std::optional<std::string> strName = ReadText(registry, key, "PortName");
    registry.CloseKey(key);
    if (!strName)
        return std::nullopt;
    if (strName->size() <= 3)
        return 0;
    errno = 0;
    const long long nValue = std::strtoll(strName->c_str() + 3, nullptr, 10);
    if (errno == ERANGE || nValue < INT32_MIN || nValue > INT32_MAX)
        return std::nullopt;
    return static_cast<int>(nValue);
}

struct CFields {
    int nResult;
    int nModemPort;
    int nSecondPort;
    std::string strLabel;
    std::string strStatus;
    bool operator==(const CFields&) const = default;
};

CFields PredictModem(IRegistry& registry, CFields fields)
{
    fields.nResult = 0;
    const std::optional<CFound> modem = PredictSearch(registry, kModemServices);
    if (!modem)
        return fields;
    if (modem->nCount != 0) {
        if (const std::optional<int> nPort = PredictPort(registry, modem->strInstance)) {
            fields.nModemPort = *nPort;
            fields.strLabel = "Modem port:";
            fields.strStatus = "Setting using Modem port.";
        }
    }
    const std::optional<CFound> diag = PredictSearch(registry, kDiagServices);
    if (!diag)
        return fields;
    if (diag->nCount == 0) {
        fields.nResult = 1;
        return fields;
    }
    if (const std::optional<int> nPort = PredictPort(registry, diag->strInstance)) {
        fields.nSecondPort = *nPort;
        fields.nResult = 1;
    }
    return fields;
}

CFields PredictAt(IRegistry& registry, CFields fields)
{
    fields.nResult = 0;
    const std::optional<CFound> at = PredictSearch(registry, kAtServices);
    if (!at)
        return fields;
    fields.nResult = 1;
    if (at->nCount != 0) {
        if (const std::optional<int> nPort = PredictPort(registry, at->strInstance)) {
            fields.nModemPort = *nPort;
            fields.strLabel = "AT port:";
            fields.strStatus = "Setting using AT port.";
        }
    }
    return fields;
}

// ---- running out of memory ------------------------------------------------------------------------

// Passes every call on, but throws bad_alloc from the Nth value read (never when N is 0), as the
// allocation of a value's text would when memory runs out.
class CFailingRegistry final : public IRegistry {
public:
    CFailingRegistry(IRegistry& inner, unsigned nThrowAt) : m_inner(inner), m_nThrowAt(nThrowAt) {}
    ERegOpen Open(const std::string& strPath, uint32_t nAccess, RegKey* pKey) override
    {
        return m_inner.Open(strPath, nAccess, pKey);
    }
    bool QueryValue(RegKey key, const std::string& strName, void* pData, uint32_t* pSize) override
    {
        if (++m_nQueries == m_nThrowAt) {
            m_bThrew = true;
            throw std::bad_alloc();
        }
        return m_inner.QueryValue(key, strName, pData, pSize);
    }
    bool EnumSubkey(RegKey key, uint32_t nIndex, std::string* pName) override
    {
        return m_inner.EnumSubkey(key, nIndex, pName);
    }
    void CloseKey(RegKey key) override { m_inner.CloseKey(key); }

    // True once, for the call during which the read threw.
    bool TakeThrew() { return std::exchange(m_bThrew, false); }

private:
    IRegistry& m_inner;
    unsigned m_nThrowAt;
    unsigned m_nQueries = 0;
    bool m_bThrew = false;
};

// ---- the checks ---------------------------------------------------------------------------------

// The fields that the window keeps from a search, stored as the window stores them.
struct CWindowFields {
    int nModemPort = -41;
    int nSecondPort = -42;
    std::string strLabel = "old label";
    std::string strStatus = "old status";

    int Store(const CPortSearch& search)
    {
        if (search.nCommandPort) {
            nModemPort = *search.nCommandPort;
            strLabel = PortLabelText(search.eSource);
            strStatus = PortStatusText(search.eSource);
        }
        if (search.nSecondPort)
            nSecondPort = *search.nSecondPort;
        return search.bFound;
    }
};

CFields Read(const CWindowFields& dlg, int nResult)
{
    return {nResult, dlg.nModemPort, dlg.nSecondPort, dlg.strLabel, dlg.strStatus};
}

[[noreturn]] void Fail(const char* pszCall, const char* pszWhat, const CFields& got, const CFields& want)
{
    std::fprintf(stderr,
                 "%s: %s\n  got  result %d, modem %d, second %d, \"%s\", \"%s\"\n"
                 "  want result %d, modem %d, second %d, \"%s\", \"%s\"\n",
                 pszCall, pszWhat, got.nResult, got.nModemPort, got.nSecondPort, got.strLabel.c_str(),
                 got.strStatus.c_str(), want.nResult, want.nModemPort, want.nSecondPort, want.strLabel.c_str(),
                 want.strStatus.c_str());
    std::abort();
}

std::vector<std::string> PathsOpened(const CRecordingRegistry& registry, size_t nFrom, size_t nTo)
{
    const std::vector<CRecordingRegistry::OpenRecord> opens = registry.Opens();
    std::vector<std::string> paths;
    for (size_t n = nFrom; n < nTo; ++n)
        paths.push_back(opens[n].strPath);
    return paths;
}

// After a call that ran out of memory part way: it reports no modem and diagnostic pair, reports an
// AT port only when there is one, each field is either as before or as predicted, and the keys
// opened are the start of the prediction's.
void CheckCutShort(const char* pszCall, const CFields& before, const CFields& got, const CFields& want,
                   const std::vector<std::string>& opened, const std::vector<std::string>& predicted)
{
    const bool bAt = std::string(pszCall) == "FindAtPort";
    if (got.nResult != 0 && !(bAt && got.nResult == 1 && want.nResult == 1))
        Fail(pszCall, "out of memory: result", got, want);
    if ((got.nModemPort != before.nModemPort && got.nModemPort != want.nModemPort) ||
        (got.nSecondPort != before.nSecondPort && got.nSecondPort != want.nSecondPort) ||
        (got.strLabel != before.strLabel && got.strLabel != want.strLabel) ||
        (got.strStatus != before.strStatus && got.strStatus != want.strStatus))
        Fail(pszCall, "out of memory: a field written that the rules do not write", got, want);
    if (opened.size() > predicted.size() || !std::equal(opened.begin(), opened.end(), predicted.begin()))
        Fail(pszCall, "out of memory: keys opened differ from the prediction's", got, want);
}

// Runs one discovery call and checks it against the prediction made from the fields before it:
// the same result and fields, and the same keys opened in the same order (so no service after the
// first found one is looked at).
template <typename Call, typename Predict>
void Check(const char* pszCall, CWindowFields& dlg, CRecordingRegistry& registry, CFailingRegistry& failing, Call call,
           Predict predict)
{
    const CFields before = Read(dlg, 0);
    const size_t nOpensBefore = registry.Opens().size();
    const int nResult = call();
    const CFields got = Read(dlg, nResult);
    const size_t nOpensAfter = registry.Opens().size();

    if (registry.OpenKeyCount() != 0)
        Fail(pszCall, "a registry key was left open", got, got);
    const std::vector<CRecordingRegistry::OpenRecord> opens = registry.Opens();
    for (size_t n = nOpensBefore; n < nOpensAfter; ++n) {
        const bool bRetry = n > 0 && opens[n - 1].nAccess == kKeyAllAccess && opens[n - 1].strPath == opens[n].strPath;
        if (opens[n].nAccess != kKeyAllAccess && !(opens[n].nAccess == kKeyRead && bRetry))
            Fail(pszCall, "an open asked for other access than KEY_ALL_ACCESS, or KEY_READ where it was refused", got, got);
    }
    const CFields want = predict(registry, before);
    const std::vector<std::string> opened = PathsOpened(registry, nOpensBefore, nOpensAfter);
    const std::vector<std::string> predicted = PathsOpened(registry, nOpensAfter, registry.Opens().size());
    if (failing.TakeThrew()) {
        CheckCutShort(pszCall, before, got, want, opened, predicted);
        return;
    }
    if (got != want)
        Fail(pszCall, "result or fields differ from the prediction", got, want);
    if (opened != predicted)
        Fail(pszCall, "keys opened differ from the prediction's", got, want);
}

// The command line's searches ask for KEY_READ alone and find what the window's find.
void CheckCommandLineSearch(CRecordingRegistry& registry)
{
    for (const bool bModem : {true, false}) {
        const char* pszCall = bModem ? "command line's FindModemPort" : "command line's FindAtPort";
        CWindowFields window, cli;
        const size_t nFrom = registry.Opens().size();
        const int nCli = cli.Store(bModem ? SearchModemPort(registry, EKeyAccess::kRead) : SearchAtPort(registry, EKeyAccess::kRead));
        const std::vector<CRecordingRegistry::OpenRecord> opens = registry.Opens();
        const CFields got = Read(cli, nCli);
        for (size_t n = nFrom; n < opens.size(); ++n)
            if (opens[n].nAccess != kKeyRead)
                Fail(pszCall, "an open asked for more than KEY_READ", got, got);
        const int nWindow = window.Store(bModem ? SearchModemPort(registry, EKeyAccess::kAllElseRead)
                                                : SearchAtPort(registry, EKeyAccess::kAllElseRead));
        if (got != Read(window, nWindow))
            Fail(pszCall, "differs from the window's search", got, Read(window, nWindow));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    FuzzedDataProvider input(pData, nSize);
    // 0xA5: no administrator rights; 0x5A: the device tree refuses write access, as Windows' does.
    const uint8_t nRights = input.ConsumeIntegral<uint8_t>();
    CMemoryRegistry memory;
    Decode(input, memory);
    if (nRights == 0xA5)
        memory.SetGrantedAccess(kKeyRead);
    if (nRights == 0x5A)
        memory.LimitAccessBelow("SYSTEM\\CurrentControlSet\\Enum", kKeyRead);
    CRecordingRegistry registry(memory);

    // Inputs longer than the records they decode to also pick a value read that runs out of memory.
    CFailingRegistry failing(registry, input.ConsumeIntegralInRange<unsigned>(0, 40));
    CWindowFields dlg;
    auto modem = [&] { return dlg.Store(SearchModemPort(failing, EKeyAccess::kAllElseRead)); };
    auto at = [&] { return dlg.Store(SearchAtPort(failing, EKeyAccess::kAllElseRead)); };
    Check("FindModemPort", dlg, registry, failing, modem, PredictModem);
    Check("FindAtPort", dlg, registry, failing, at, PredictAt);
    // No cache: a second search over the same registry comes to the same result.
    Check("FindModemPort again", dlg, registry, failing, modem, PredictModem);
    CheckCommandLineSearch(registry);
    return 0;
}
