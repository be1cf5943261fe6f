#pragma once
// Running out of memory on demand: the global operator new of the test programs (FailingAllocation.cpp)
// can be told to throw std::bad_alloc at one chosen allocation of the calling thread.

// While it lives, the allocation that comes after nAllowed more on this thread fails, once.
class CFailNthAllocation {
public:
    explicit CFailNthAllocation(long nAllowed);
    ~CFailNthAllocation();
    CFailNthAllocation(const CFailNthAllocation&) = delete;
    CFailNthAllocation& operator=(const CFailNthAllocation&) = delete;

    // Whether the chosen allocation came (and failed).
    bool Failed() const;
};
