#include "platform/Clock.h"

#include <windows.h>

namespace {

class CSystemClock final : public IClock {
public:
    void Sleep(uint32_t nMilliseconds) override { ::Sleep(nMilliseconds); }
    uint32_t GetTickCount() override { return ::GetTickCount(); }
};

} // namespace

IClock& SystemClock()
{
    static CSystemClock clock;
    return clock;
}
