// The test programs' global operator new and delete: malloc and free, with one allocation of one
// thread made to fail on request. The aligned forms are left to the runtime; they pair up among
// themselves.
#include "tests/support/FailingAllocation.h"

#include <cstdlib>
#include <new>

namespace {

thread_local long t_nAllowed = -1;   // allocations before the failing one; -1: none fails
thread_local bool t_bFailed = false;

void* Allocate(std::size_t nSize)
{
    if (t_nAllowed == 0) {
        t_nAllowed = -1;
        t_bFailed = true;
        throw std::bad_alloc();
    }
    if (t_nAllowed > 0)
        --t_nAllowed;
    if (void* p = std::malloc(nSize ? nSize : 1))
        return p;
    throw std::bad_alloc();
}

void* AllocateOrNull(std::size_t nSize) noexcept
{
    try {
        return Allocate(nSize);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

} // namespace

CFailNthAllocation::CFailNthAllocation(long nAllowed)
{
    t_bFailed = false;
    t_nAllowed = nAllowed;
}

CFailNthAllocation::~CFailNthAllocation()
{
    t_nAllowed = -1;
}

bool CFailNthAllocation::Failed() const
{
    return t_bFailed;
}

void* operator new(std::size_t nSize) { return Allocate(nSize); }
void* operator new[](std::size_t nSize) { return Allocate(nSize); }
void* operator new(std::size_t nSize, const std::nothrow_t&) noexcept { return AllocateOrNull(nSize); }
void* operator new[](std::size_t nSize, const std::nothrow_t&) noexcept { return AllocateOrNull(nSize); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
