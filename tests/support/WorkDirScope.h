#pragma once
// A fresh, empty directory that is the process's current directory for one scope; the previous
// current directory comes back and the directory is removed at the end.
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

class CWorkDirScope {
public:
    explicit CWorkDirScope(const std::string& strPrefix = "vostrel-test")
        : m_previous(std::filesystem::current_path()), m_dir(MakeUniqueDir(strPrefix))
    {
        std::filesystem::current_path(m_dir);
    }

    ~CWorkDirScope()
    {
        std::error_code error;
        std::filesystem::current_path(m_previous, error);
        std::filesystem::remove_all(m_dir, error);
    }

    CWorkDirScope(const CWorkDirScope&) = delete;
    CWorkDirScope& operator=(const CWorkDirScope&) = delete;

    const std::filesystem::path& Dir() const { return m_dir; }

    static std::filesystem::path MakeUniqueDir(const std::string& strPrefix)
    {
        std::random_device random;
        for (;;) {
            const std::filesystem::path dir = std::filesystem::temp_directory_path()
                / (strPrefix + "-" + std::to_string(random()) + std::to_string(random()));
            if (std::filesystem::create_directory(dir))
                return dir;
        }
    }

private:
    std::filesystem::path m_previous;
    std::filesystem::path m_dir;
};
