#include "common/file_util.h"
#include "protocol/client_socket.h"
#include "store/posting.h"

void PostArticle(CClientSocket& client, const std::string& tempPath, int lineCount,
                 bool complete) {
    if (!complete) {
        RemoveFile(tempPath);
        client.SendAndLog("441 tmp file open error!!\r\n");
        client.m_bPostMode = 0;
        return;
    }
    XContent header;
    CServerCore& core = *client.m_pOwner;
    StoreResult result = StoreArticle(
        core, [&client](const GroupEntry& group) { return client.CanPost(group); }, tempPath,
        lineCount, header, time(nullptr), core.m_bUseRfc3977 != 0);
    std::string reply;
    if (result == StoreResult::Stored) {
        // Every changed index is on disk before the client hears 240.
        core.SaveGroupIndexes();
        reply = "240 article posted successfully!!\r\n";
    } else {
        reply = "411 no such news group [" + header.newsgroups + "]!!\r\n";
    }
    client.SendAndLog(reply);
    client.m_bPostMode = 0;
}
