// CreateInstanceLock (POSIX lock file): another process that asks for a name this process holds is
// told it already exists; this process may ask again; closing the last handle frees the name.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/InstanceLock.h"

namespace {

// The lock files of these tests go to a directory of their own (the runtime directory the lock
// prefers), removed afterwards.
class CPrivateRuntimeDir : public ::testing::Environment {
public:
    void SetUp() override
    {
        char szTemplate[] = "/tmp/vostrel-locktest-XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        m_strDir = szTemplate;
        setenv("XDG_RUNTIME_DIR", m_strDir.c_str(), 1);
    }
    void TearDown() override
    {
        std::error_code error;
        std::filesystem::remove_all(m_strDir, error);
    }

private:
    std::string m_strDir;
};

[[maybe_unused]] ::testing::Environment* const g_pRuntimeDir = ::testing::AddGlobalTestEnvironment(new CPrivateRuntimeDir);

// A name of this test run's own, in the program's style (commas and a back-quote).
std::string TestName(const char* szTag)
{
    return std::string("VOSTREL_TEST,0x1a,0xa`,") + szTag + "," + std::to_string(getpid());
}

// Runs CreateInstanceLock(strName) in a child process; 1 when it reported already-exists, 0 when it
// got the lock, 2 when it could not make the lock at all.
int ChildSees(const std::string& strName)
{
    const pid_t pid = fork();
    if (pid == 0) {
        bool bAlreadyExists = false;
        const InstanceLockHandle hLock = CreateInstanceLock(strName.c_str(), &bAlreadyExists);
        _exit(bAlreadyExists ? 1 : hLock ? 0 : 2);
    }
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

TEST(InstanceLockTest, AnotherProcessSeesAHeldNameAsExisting)
{
    const std::string strName = TestName("held");
    bool bAlreadyExists = true;
    const InstanceLockHandle hLock = CreateInstanceLock(strName.c_str(), &bAlreadyExists);
    ASSERT_NE(hLock, 0);
    EXPECT_FALSE(bAlreadyExists);

    EXPECT_EQ(ChildSees(strName), 1);
    EXPECT_EQ(ChildSees(TestName("other")), 0) << "a different name is a different lock";

    CloseInstanceLock(hLock);
    EXPECT_EQ(ChildSees(strName), 0) << "closing frees the name";
    EXPECT_FALSE(std::filesystem::is_empty(std::getenv("XDG_RUNTIME_DIR"))) << "the lock lives in the runtime directory";
}

// Each handle holds the name: closing one of two leaves it held until the other is closed too.
TEST(InstanceLockTest, TheHoldingProcessMayCreateItAgain)
{
    const std::string strName = TestName("twice");
    bool bFirst = true;
    bool bSecond = true;
    const InstanceLockHandle hFirst = CreateInstanceLock(strName.c_str(), &bFirst);
    const InstanceLockHandle hSecond = CreateInstanceLock(strName.c_str(), &bSecond);

    EXPECT_FALSE(bFirst);
    EXPECT_FALSE(bSecond);
    EXPECT_NE(hFirst, 0);
    EXPECT_NE(hSecond, 0);
    CloseInstanceLock(hFirst);
    EXPECT_EQ(ChildSees(strName), 1) << "the second handle still holds the name";
    CloseInstanceLock(hSecond);
    EXPECT_EQ(ChildSees(strName), 0) << "closing the last handle frees the name";
}

// A name that maps to the same readable part still gets its own lock (commas vs back-quotes).
TEST(InstanceLockTest, NamesDifferingOnlyInPunctuationStayApart)
{
    const std::string strA = TestName("a,b");
    const std::string strB = TestName("a`b");
    bool bAlreadyExists = true;
    const InstanceLockHandle hLock = CreateInstanceLock(strA.c_str(), &bAlreadyExists);
    ASSERT_NE(hLock, 0);

    EXPECT_EQ(ChildSees(strB), 0);
    CloseInstanceLock(hLock);
}

} // namespace
