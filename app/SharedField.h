#pragma once
#include <mutex>
#include <string>

// A string field that the window's thread and the monitor (or a command's worker) both read and
// write. Each access is whole: a reader sees either the old or the new text, never a torn one.
class CSharedString {
public:
    explicit CSharedString(std::string strInitial = {}) : m_str(std::move(strInitial)) {}

    std::string Get() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_str;
    }

    void Set(const std::string& str)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_str = str;
    }

private:
    mutable std::mutex m_mutex;
    std::string m_str;
};
