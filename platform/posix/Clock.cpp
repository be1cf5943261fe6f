#include "platform/Clock.h"

#include <chrono>
#include <thread>

namespace {

class CSystemClock final : public IClock {
public:
    void Sleep(uint32_t nMilliseconds) override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(nMilliseconds));
    }

    uint32_t GetTickCount() override
    {
        const auto since = std::chrono::steady_clock::now().time_since_epoch();
        return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
    }
};

} // namespace

IClock& SystemClock()
{
    static CSystemClock clock;
    return clock;
}
