// Reads through kept descriptors must always see the file that stands at
// the path when its size was last looked up.

#include "common/file_cache.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

class FileCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "marrowby-cache-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::string Write(const std::string& name, const std::string& bytes) {
        std::string path = m_dir + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    std::string ReadAll(FileReadCache& cache, const std::string& path, int64_t offset = 0) {
        char buffer[64];
        int n = cache.Read(path, buffer, offset, sizeof buffer);
        return std::string(buffer, static_cast<size_t>(n));
    }

    std::string m_dir;
};

TEST_F(FileCacheTest, ReadsAtOffsetsAndSeesAReplacedOrRemovedFile) {
    FileReadCache cache;
    std::string path = Write("1", "first article\r\n.\r\n");
    ASSERT_EQ(cache.Size(path), 18);
    EXPECT_EQ(ReadAll(cache, path), "first article\r\n.\r\n");
    EXPECT_EQ(ReadAll(cache, path, 6), "article\r\n.\r\n");

    // A new file renamed over the old one, as a rebuilt store might leave.
    std::string fresh = Write("new", "second\r\n.\r\n");
    ASSERT_EQ(std::rename(fresh.c_str(), path.c_str()), 0);
    ASSERT_EQ(cache.Size(path), 11);
    EXPECT_EQ(ReadAll(cache, path), "second\r\n.\r\n");

    ASSERT_EQ(::unlink(path.c_str()), 0);
    EXPECT_EQ(cache.Size(path), -1);
    EXPECT_EQ(ReadAll(cache, path), "");
}

TEST_F(FileCacheTest, KeepsNoMoreDescriptorsThanItsCapacity) {
    FileReadCache cache(4);
    std::vector<std::string> paths;
    for (int i = 0; i < 10; ++i) paths.push_back(Write(std::to_string(i), std::to_string(i)));
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 10; ++i) {
            ASSERT_EQ(cache.Size(paths[i]), static_cast<int64_t>(std::to_string(i).size()));
            EXPECT_EQ(ReadAll(cache, paths[i]), std::to_string(i));
        }
    }
    size_t open = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        auto target = std::filesystem::read_symlink(entry.path(), ec);
        if (!ec && target.string().rfind(m_dir, 0) == 0) ++open;
    }
    EXPECT_LE(open, 4u);
}

TEST_F(FileCacheTest, MissingFileReadsAsEmpty) {
    FileReadCache cache;
    EXPECT_EQ(cache.Size(m_dir + "/none"), -1);
    EXPECT_EQ(ReadAll(cache, m_dir + "/none"), "");
}

}  // namespace
