#pragma once

// A folder of its own for each test, removed afterwards.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#ifdef _WIN32
#include <process.h>
#define QUILLON_GETPID _getpid
#else
#include <unistd.h>
#define QUILLON_GETPID getpid
#endif

namespace quillon::test {

class TempDir
{
public:
    TempDir()
    {
        static std::atomic<int> counter{0};
        std::random_device random;
        m_path = std::filesystem::temp_directory_path() /
                 ("quillon-test-" + std::to_string(QUILLON_GETPID()) + "-" +
                  std::to_string(counter++) + "-" + std::to_string(random()));
        std::filesystem::create_directories(m_path);
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

inline std::string readBytes(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeBytes(const std::filesystem::path& file, const std::string& bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

} // namespace quillon::test
