// Whatever the cache keeps (contents, descriptors, trust in a file's
// identity) must always give the file that stands at the path when its size
// was last looked up, however it was changed.

#include "store/file_cache.h"

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
    FileReadCache::Limits limits;
    limits.maxDescriptors = 4;
    limits.maxFileBytes = 0;  // every file read through a descriptor
    FileReadCache cache(limits);
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
        // The directory itself may be held open to open names within it.
        if (!ec && target.string().rfind(m_dir + "/", 0) == 0) ++open;
    }
    EXPECT_LE(open, 4u);
}

TEST_F(FileCacheTest, MissingFileReadsAsEmpty) {
    FileReadCache cache;
    EXPECT_EQ(cache.Size(m_dir + "/none"), -1);
    EXPECT_EQ(ReadAll(cache, m_dir + "/none"), "");
    EXPECT_FALSE(cache.Content(m_dir + "/none"));
}

// Every way an article file can change under a running server, each looked
// up once before the change and once after, with and without change reports.
class FileCacheChangeTest : public FileCacheTest, public ::testing::WithParamInterface<bool> {
protected:
    std::string Looked(FileReadCache& cache, const std::string& path) {
        int64_t size = cache.Size(path);
        if (size < 0) return "<none>";
        FileContent content = cache.Content(path);
        if (!content) return "<no content>";
        EXPECT_EQ(static_cast<int64_t>(content.size), size);
        return std::string(content.bytes.get(), content.size);
    }
    FileReadCache::Limits Limits() const {
        FileReadCache::Limits limits;
        limits.watchChanges = GetParam();
        return limits;
    }
};

TEST_P(FileCacheChangeTest, SeesEveryChangeToAFileOrItsDirectory) {
    FileReadCache cache(Limits());
    std::filesystem::create_directory(m_dir + "/group");
    std::string path = m_dir + "/group/1";
    auto write = [&](const std::string& bytes) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    };
    write("one\r\n.\r\n");
    ASSERT_EQ(Looked(cache, path), "one\r\n.\r\n");
    ASSERT_EQ(Looked(cache, path), "one\r\n.\r\n");  // from memory now

    write("two\r\n.\r\n");  // rewritten in place, same size
    EXPECT_EQ(Looked(cache, path), "two\r\n.\r\n");

    {  // one byte changed without a new size or a new name
        std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(0);
        f << "T";
    }
    EXPECT_EQ(Looked(cache, path), "Two\r\n.\r\n");

    std::string fresh = m_dir + "/group/new";
    std::ofstream(fresh, std::ios::binary) << "three\r\n.\r\n";
    ASSERT_EQ(std::rename(fresh.c_str(), path.c_str()), 0);
    EXPECT_EQ(Looked(cache, path), "three\r\n.\r\n");

    ASSERT_EQ(::unlink(path.c_str()), 0);
    EXPECT_EQ(Looked(cache, path), "<none>");
    write("four\r\n.\r\n");
    EXPECT_EQ(Looked(cache, path), "four\r\n.\r\n");

    // The whole directory renamed away and another put in its place.
    std::filesystem::rename(m_dir + "/group", m_dir + "/old");
    std::filesystem::create_directory(m_dir + "/group");
    std::ofstream(path, std::ios::binary) << "five\r\n.\r\n";
    EXPECT_EQ(Looked(cache, path), "five\r\n.\r\n");
    EXPECT_EQ(Looked(cache, m_dir + "/old/1"), "four\r\n.\r\n");

    // The directory turned into a symbolic link, then pointed elsewhere.
    std::filesystem::remove_all(m_dir + "/group");
    std::filesystem::create_directory_symlink(m_dir + "/old", m_dir + "/group");
    EXPECT_EQ(Looked(cache, path), "four\r\n.\r\n");
    std::filesystem::create_directory(m_dir + "/other");
    std::ofstream(m_dir + "/other/1", std::ios::binary) << "six\r\n.\r\n";
    std::filesystem::remove(m_dir + "/group");
    std::filesystem::create_directory_symlink(m_dir + "/other", m_dir + "/group");
    EXPECT_EQ(Looked(cache, path), "six\r\n.\r\n");

    // Permissions and times alone leave the bytes as they are.
    std::filesystem::permissions(m_dir + "/other/1", std::filesystem::perms::owner_read);
    EXPECT_EQ(Looked(cache, path), "six\r\n.\r\n");
}

TEST_P(FileCacheChangeTest, KeepsWithinItsLimits) {
    FileReadCache::Limits limits = Limits();
    limits.maxContentBytes = 1000;
    limits.maxEntries = 8;
    limits.maxFileBytes = 300;
    FileReadCache cache(limits);
    std::vector<std::string> paths;
    for (int i = 0; i < 20; ++i)
        paths.push_back(Write(std::to_string(i), std::string(static_cast<size_t>(100 + 20 * i),
                                                             static_cast<char>('a' + i))));
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 20; ++i) {
            std::string want(static_cast<size_t>(100 + 20 * i), static_cast<char>('a' + i));
            if (want.size() > 300) {
                // Too large to keep: read through a descriptor when sent.
                ASSERT_EQ(cache.Size(paths[i]), static_cast<int64_t>(want.size()));
                EXPECT_FALSE(cache.Content(paths[i]));
                char buffer[1024];
                ASSERT_EQ(cache.Read(paths[i], buffer, 0, sizeof buffer),
                          static_cast<int>(want.size()));
                EXPECT_EQ(std::string(buffer, want.size()), want);
            } else {
                EXPECT_EQ(Looked(cache, paths[i]), want);
            }
            EXPECT_LE(cache.ContentBytes(), 1000);
            EXPECT_LE(cache.Entries(), 8u);
        }
    }
    // A block handed out outlives its entry.
    ASSERT_EQ(cache.Size(paths[0]), 100);
    FileContent held = cache.Content(paths[0]);
    cache.Clear();
    EXPECT_EQ(cache.ContentBytes(), 0);
    EXPECT_EQ(std::string(held.bytes.get(), held.size), std::string(100, 'a'));
}

TEST_F(FileCacheTest, HoldsABoundedNumberOfDirectories) {
    auto open = [] {
        size_t n = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            (void)entry;
            ++n;
        }
        return n;
    };
    size_t before = open();
    FileReadCache cache;
    // Each file in a directory of its own within a parent of its own, so
    // that watching the parent may be what starts the cache over (the two
    // files first make the count of directories odd).
    for (const char* name : {"a", "b"}) {
        std::filesystem::create_directory(m_dir + "/" + name);
        std::ofstream(m_dir + "/" + name + "/1", std::ios::binary) << name;
        ASSERT_EQ(cache.Size(m_dir + "/" + name + "/1"), 1);
    }
    for (int i = 0; i < 3000; ++i) {
        std::string directory = m_dir + "/" + std::to_string(i) + "/group";
        std::filesystem::create_directories(directory);
        std::ofstream(directory + "/1", std::ios::binary) << i;
        std::string path = directory + "/1";
        ASSERT_EQ(cache.Size(path), static_cast<int64_t>(std::to_string(i).size()));
        FileContent content = cache.Content(path);
        ASSERT_TRUE(content);
        EXPECT_EQ(std::string(content.bytes.get(), content.size), std::to_string(i));
    }
    // At most 256 kept files and 1,024 directories, not one per directory.
    EXPECT_LT(open(), before + 256 + 1024 + 8);
}

INSTANTIATE_TEST_SUITE_P(Reports, FileCacheChangeTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Watched" : "Unwatched"; });

}  // namespace
