// Cancel control messages: "Control: cancel <message-id>" withdraws an
// article from the groups the cancel message is posted to.
#pragma once

#include <string>
#include <vector>

#include "store/server_core.h"
#include "store/xcontent.h"

// True when the header's Control value is exactly two words, the first
// "cancel" in any letter case and the second beginning with "<"; `target`
// then receives the second word.
bool GetCancelTarget(const XContent& header, std::string& target);

// In each target group (a group named twice is walked twice), deletes the
// first article whose Message-ID equals `target` and that the poster may
// cancel: anyone with CancelEveryOne on, else only a poster whose From equals
// the article's. Deleting removes the file, lowers articleCount and marks the
// group dirty; the first and last numbers stay.
void CancelArticle(CServerCore& core, const std::string& target, const std::string& from,
                   const std::vector<GroupEntry*>& groups);
