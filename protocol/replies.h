// Reply texts shared by both command interpreters, so the texts clients rely
// on are written down once.
#pragma once

#include <string>

namespace replies {

inline constexpr char kNotRecognized[] = "500 command not recognized!!\r\n";
inline constexpr char kNoGroupSelected[] = "412 No news group current selected!!\r\n";
inline constexpr char kOverviewFollows[] = "224 Overview information follows!!\r\n";
inline constexpr char kDeniedGroup[] = "502 access restriction or permission denied!!\r\n";
inline constexpr char kOverviewFormat[] =
    "215 Order of fields in overview database.\r\nSubject:\r\nFrom:\r\nDate:\r\n"
    "Message-ID:\r\nReferences:\r\nBytes:\r\nLines:\r\n.\r\n";
inline constexpr char kListFollows[] = "215 list of newsgroups follows!!\r\n";
inline constexpr char kGoodbye[] = "205 closing connection - goodbye!!\r\n";
inline constexpr char kContinuePosting[] = "340 continue posting!!\r\n";

inline std::string Denied(const std::string& argument) {
    return "502 access restriction or permission denied [" + argument + "]!!\r\n";
}

inline std::string NoSuchArticle(const std::string& argument) {
    return "430 no such article found [" + argument + "]!!\r\n";
}

inline std::string NoSuchGroup(const std::string& name) {
    return "411 no such news group [" + name + "]!!\r\n";
}

}  // namespace replies
