// CMemoryRegistry: the in-memory stand-in for HKEY_LOCAL_MACHINE that the discovery tests read.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "discovery/memory/MemoryRegistry.h"
#include "tests/support/RecordingRegistry.h"

namespace {

const char kKey[] = "SYSTEM\\CurrentControlSet\\Services\\Drv\\Enum";

// OpenKey and QueryValue: paths and value names match without regard to case.
TEST(MemoryRegistryTest, PathsAndNamesIgnoreCase)
{
    CMemoryRegistry registry;
    registry.SetDword(kKey, "Count", 3);
    RegKey key = 0;
    ASSERT_TRUE(registry.OpenKey("system\\CURRENTCONTROLSET\\services\\drv\\enum", kKeyAllAccess, &key));
    uint32_t nCount = 0, nSize = 4;
    EXPECT_TRUE(registry.QueryValue(key, "COUNT", &nCount, &nSize));
    EXPECT_EQ(nCount, 3u);
    EXPECT_EQ(nSize, 4u);
    registry.CloseKey(key);
}

// OpenKey: a key's ancestors exist; a sibling or a longer name does not.
TEST(MemoryRegistryTest, AncestorsExistOthersDoNot)
{
    CMemoryRegistry memory;
    memory.AddKey(kKey);
    CRecordingRegistry registry(memory);
    const struct {
        const char* path;
        bool bExists;
    } kCases[] = {
        {"SYSTEM\\CurrentControlSet\\Services\\Drv", true},
        {"SYSTEM", true},
        {"SYSTEM\\CurrentControlSet\\Services\\Drv\\Enu", false},
        {"SYSTEM\\CurrentControlSet\\Services\\Drv\\Enum2", false},
        {"SYSTEM\\CurrentControlSet\\Services\\Other", false},
    };
    for (const auto& c : kCases) {
        RegKey key = 0;
        EXPECT_EQ(registry.OpenKey(c.path, kKeyAllAccess, &key), c.bExists) << c.path;
        if (c.bExists)
            registry.CloseKey(key);
    }
    EXPECT_EQ(registry.OpenKeyCount(), 0u);
}

// QueryValue: like RegQueryValueExA, a value larger than the buffer fails and reports its size;
// a smaller one fills only its own bytes.
TEST(MemoryRegistryTest, QueryRespectsCapacity)
{
    CMemoryRegistry registry;
    registry.SetBytes(kKey, "Big", std::vector<uint8_t>(8, 0x11));
    registry.SetBytes(kKey, "Small", {0x05, 0x01});
    RegKey key = 0;
    ASSERT_TRUE(registry.OpenKey(kKey, kKeyAllAccess, &key));

    uint32_t nValue = 0, nSize = 4;
    EXPECT_FALSE(registry.QueryValue(key, "Big", &nValue, &nSize));
    EXPECT_EQ(nSize, 8u);
    EXPECT_EQ(nValue, 0u);

    nSize = 4;
    EXPECT_TRUE(registry.QueryValue(key, "Small", &nValue, &nSize));
    EXPECT_EQ(nSize, 2u);
    EXPECT_EQ(nValue, 0x0105u);

    char sz[8] = {};
    nSize = sizeof(sz);
    registry.SetString(kKey, "Name", "COM1");
    EXPECT_TRUE(registry.QueryValue(key, "Name", sz, &nSize));
    EXPECT_EQ(nSize, 5u);   // the NUL is stored with the text
    EXPECT_STREQ(sz, "COM1");
    registry.CloseKey(key);
}

// Each open gets a key of its own; a close ends that key alone. (The recorder keeps every open with
// its access mask, failed ones too.)
TEST(MemoryRegistryTest, RecordsOpensAndCountsOpenKeys)
{
    CMemoryRegistry memory;
    memory.AddKey(kKey);
    CRecordingRegistry registry(memory);
    RegKey key1 = 0, key2 = 0, key3 = 0;
    EXPECT_TRUE(registry.OpenKey(kKey, kKeyAllAccess, &key1));
    EXPECT_TRUE(registry.OpenKey(kKey, 0x20019, &key2));
    EXPECT_FALSE(registry.OpenKey("Missing", kKeyAllAccess, &key3));
    EXPECT_NE(key1, key2);
    EXPECT_EQ(registry.OpenKeyCount(), 2u);
    registry.CloseKey(key1);
    registry.CloseKey(key1);   // twice: no effect on the other key
    EXPECT_EQ(registry.OpenKeyCount(), 1u);
    registry.CloseKey(key2);
    EXPECT_EQ(registry.OpenKeyCount(), 0u);

    const auto opens = registry.Opens();
    ASSERT_EQ(opens.size(), 3u);
    EXPECT_EQ(opens[1].strPath, kKey);
    EXPECT_EQ(opens[1].nAccess, 0x20019u);
    EXPECT_EQ(opens[2].strPath, "Missing");
}

// RemoveKey takes the subtree; a key open at the time stays open but reads nothing.
TEST(MemoryRegistryTest, RemovedKeyReadsNothing)
{
    CMemoryRegistry memory;
    memory.SetDword(kKey, "Count", 1);
    CRecordingRegistry registry(memory);
    RegKey key = 0;
    ASSERT_TRUE(registry.OpenKey(kKey, kKeyAllAccess, &key));
    memory.RemoveKey("SYSTEM\\CurrentControlSet\\Services\\Drv");
    uint32_t nValue = 0, nSize = 4;
    EXPECT_FALSE(registry.QueryValue(key, "Count", &nValue, &nSize));
    RegKey key2 = 0;
    EXPECT_FALSE(registry.OpenKey(kKey, kKeyAllAccess, &key2));
    EXPECT_TRUE(registry.OpenKey("SYSTEM\\CurrentControlSet\\Services", kKeyAllAccess, &key2));
    registry.CloseKey(key2);
    registry.CloseKey(key);
    EXPECT_EQ(registry.OpenKeyCount(), 0u);
}

// SetGrantedAccess: an open asking for more than is granted is refused, as for a non-administrator;
// a missing key is no refusal.
TEST(MemoryRegistryTest, AccessBeyondGrantFails)
{
    CMemoryRegistry registry;
    registry.AddKey(kKey);
    registry.SetGrantedAccess(0x20019);   // KEY_READ
    RegKey key = 0;
    EXPECT_EQ(registry.Open(kKey, kKeyAllAccess, &key), ERegOpen::kDenied);
    EXPECT_EQ(registry.Open(kKey + std::string("\\Missing"), kKeyAllAccess, &key), ERegOpen::kMissing);
    ASSERT_TRUE(registry.OpenKey(kKey, 0x20019, &key));
    registry.CloseKey(key);
}

// Every operation may come from several threads at once (the monitor and the test's thread).
TEST(MemoryRegistryTest, ConcurrentUse)
{
    CMemoryRegistry memory;
    memory.SetDword(kKey, "Count", 1);
    CRecordingRegistry registry(memory);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&memory, &registry, i] {
            const std::string strName = std::to_string(i);
            for (int n = 0; n < 200; ++n) {
                RegKey key = 0;
                if (registry.OpenKey(kKey, kKeyAllAccess, &key)) {
                    uint32_t nValue = 0, nSize = 4;
                    registry.QueryValue(key, "Count", &nValue, &nSize);
                    registry.CloseKey(key);
                }
                memory.SetDword(kKey, strName, static_cast<uint32_t>(n));
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(registry.OpenKeyCount(), 0u);
    EXPECT_EQ(registry.Opens().size(), 800u);
}

}  // namespace
