#include <unistd.h>

#include "common/file_util.h"
#include "protocol/client_socket.h"
#include "protocol/replies.h"
#include "store/posting.h"

void PostArticle(CClientSocket& client, const std::string& tempPath, int lineCount, bool complete,
                 int tempFd) {
    if (!complete) {
        if (tempFd >= 0) ::close(tempFd);
        RemoveFile(tempPath);
        client.SendAndLog("441 tmp file open error!!\r\n");
        client.m_bPostMode = 0;
        return;
    }
    XContent header;
    CServerCore& core = *client.m_pOwner;
    auto canPost = [&client](const GroupEntry& group) { return client.CanPost(group); };
    bool readerMode = core.m_bUseRfc3977 != 0;
    StoreResult result;
    if (tempFd >= 0) {
        result = StoreArticleFrom(core, canPost, tempPath, tempFd, lineCount, header, time(nullptr),
                                  readerMode);
        ::close(tempFd);
    } else {
        result =
            StoreArticle(core, canPost, tempPath, lineCount, header, time(nullptr), readerMode);
    }
    std::string reply;
    if (result == StoreResult::Stored) {
        // Every changed index is on disk before the client hears 240.
        core.SaveGroupIndexes();
        reply = "240 article posted successfully!!\r\n";
    } else {
        reply = replies::NoSuchGroup(header.newsgroups);
    }
    client.SendAndLog(reply);
    client.m_bPostMode = 0;
}
