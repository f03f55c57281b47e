// The records the server keeps in memory: configured groups with their
// article lists, and configured users.
#pragma once

#include <memory>
#include <string>
#include <vector>

// One stored article's overview data; one line of the group's Message.lst.
// The five strings never hold TAB, CR or LF.
struct ArticleEntry {
    int number = 0;  // the article file's name in the group directory
    std::string subject;
    std::string from;
    std::string date;
    std::string messageId;  // with its angle brackets
    std::string references;
    int bytes = 0;  // size of the article file, headers included
    int lines = 0;  // LF count received with the post, or the file's "Lines:"
};

// One configured newsgroup.
struct GroupEntry {
    int dirty = 0;  // 1: Message.lst must be rewritten
    std::string name;
    int expireHours = 0;  // 0 or less: never expires
    int firstNumber = 0;
    int lastNumber = 0;  // highest number ever assigned
    int articleCount = 0;
    std::string note;
    std::vector<std::unique_ptr<ArticleEntry>> articles;  // owned, in index order
    int readAll = 1;
    std::vector<std::string> readers;
    int postAll = 1;
    std::vector<std::string> posters;
};

struct UserEntry {
    std::string name;
    std::string password;
};
