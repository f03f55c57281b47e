#include "store/spool.h"

#include <algorithm>
#include <cstring>

#include "store/xcontent.h"

std::string CSpool::HeaderBlock(const std::string& path, bool keepWhole) {
    // Looked at first, so nothing kept of an older file at the path is read.
    if (m_cache.Size(path) < 0) return std::string();
    // A file small enough to keep is read whole once, and HEAD, BODY and
    // ARTICLE of it then cost no read at all.
    FileContent content = keepWhole ? m_cache.Content(path) : m_cache.KeptContent(path);
    if (content) {
        return ReadHeaderBlockWith([&content](char* buffer, size_t size, int64_t offset) {
            if (offset >= static_cast<int64_t>(content.size)) return ssize_t{0};
            size_t n = std::min(size, content.size - static_cast<size_t>(offset));
            std::memcpy(buffer, content.bytes.get() + offset, n);
            return static_cast<ssize_t>(n);
        });
    }
    return ReadHeaderBlockWith([this, &path](char* buffer, size_t size, int64_t offset) {
        return static_cast<ssize_t>(m_cache.Read(path, buffer, offset, static_cast<int>(size)));
    });
}

ArticleParts CSpool::Parts(const std::string& path) {
    ArticleParts parts;
    parts.bodyOffset = SplitHeaderBlock(HeaderBlock(path, true), parts.head);
    return parts;
}

std::string CSpool::HeaderValue(const std::string& path, std::string_view name) {
    return HeaderValueOf(HeaderBlock(path, false), name);
}
