// The article files of every group behind one interface: their sizes, their
// bytes for sending, their header blocks, where a body starts and one
// header's value. What was read most recently is kept (see FileReadCache), so
// an article read again and again costs a look at its metadata at most.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "store/file_cache.h"

// An article file as the spool found it.
struct ArticleFile {
    std::string path;
    int64_t size = -1;  // -1: no file at the path
};

// An article file's header block split as HEAD and BODY send it.
struct ArticleParts {
    std::string head;        // the header lines with their CR LF, without the blank line
    int64_t bodyOffset = 0;  // where the body starts in the file
};

class CSpool {
public:
    CSpool() = default;
    explicit CSpool(FileReadCache::Limits limits) : m_cache(limits) {}

    // The size of the file at `path`, or -1 when there is none. Whatever is
    // kept of an older file at the path is let go, so everything read next
    // comes from the file there now.
    int64_t Size(const std::string& path) { return m_cache.Size(path); }

    // The whole file as Size() last found it, when it is small enough to be
    // kept in memory; null otherwise.
    FileContent Content(const std::string& path) { return m_cache.Content(path); }

    // Reads up to `size` bytes at `offset` into `buffer`; returns how many
    // were read, 0 when the file cannot be opened.
    int Read(const std::string& path, char* buffer, int64_t offset, int size) {
        return m_cache.Read(path, buffer, offset, size);
    }

    // The file's header block, read as ReadHeaderBlock reads it (empty when
    // the file cannot be read), from what is kept when it is. With
    // `keepWhole`, a file small enough is read whole and kept, for the body
    // that is likely asked for next.
    std::string HeaderBlock(const std::string& path, bool keepWhole);

    // The header and where the body starts, for HEAD and BODY.
    ArticleParts Parts(const std::string& path);

    // The value of the header `name` (any letter case), unfolded and trimmed.
    std::string HeaderValue(const std::string& path, std::string_view name);

    // Descriptors held for kept files and change reports.
    size_t HeldDescriptors() const { return m_cache.HeldDescriptors(); }

private:
    FileReadCache m_cache;
};
