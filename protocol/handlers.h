// The command handlers of both modes, by family. Each answers one command
// whose word count its table row has already checked; `words[0]` is the
// command name, upper-cased. The classic mode's handlers keep every reply
// and quirk its clients have always seen; the reader mode's follow the
// standard. Where the two agree they share the helpers of article_lookup.h.
#pragma once

#include "protocol/session.h"

// --- session and authentication (auth_commands.cpp) -----------------------------
void ClassicAuthinfo(CSession& session, const Words& words);
void ClassicQuit(CSession& session, const Words& words);
void ReaderAuthinfo(CSession& session, const Words& words);
void ReaderCapabilities(CSession& session, const Words& words);
void ReaderModeReader(CSession& session, const Words& words);
void ReaderQuit(CSession& session, const Words& words);
void ReaderDate(CSession& session, const Words& words);
void ReaderHelp(CSession& session, const Words& words);
void ReaderStartTls(CSession& session, const Words& words);
// A form of a known command that the reader mode does not take (MODE with
// another keyword).
void ReaderSyntaxError(CSession& session, const Words& words);

// --- group selection and navigation (group_commands.cpp) --------------------------
void ClassicGroup(CSession& session, const Words& words);
void ReaderGroup(CSession& session, const Words& words);
void ReaderListGroup(CSession& session, const Words& words);
void ReaderNext(CSession& session, const Words& words);
void ReaderLast(CSession& session, const Words& words);

// --- article retrieval (article_commands.cpp) --------------------------------------
void ClassicArticle(CSession& session, const Words& words);
void ReaderArticle(CSession& session, const Words& words);
void ReaderHead(CSession& session, const Words& words);
void ReaderBody(CSession& session, const Words& words);
void ReaderStat(CSession& session, const Words& words);

// --- overview and headers (overview_commands.cpp) ----------------------------------
void ClassicXover(CSession& session, const Words& words);
void ReaderOver(CSession& session, const Words& words);
void ReaderHdr(CSession& session, const Words& words);

// --- lists (list_commands.cpp) ------------------------------------------------------
void ClassicList(CSession& session, const Words& words);
void ListOverviewFmt(CSession& session, const Words& words);
void ReaderListActive(CSession& session, const Words& words);
void ReaderListNewsgroups(CSession& session, const Words& words);
void ReaderListHeaders(CSession& session, const Words& words);
void ReaderNewGroups(CSession& session, const Words& words);
void ReaderNewNews(CSession& session, const Words& words);

// --- posting (post_commands.cpp) ---------------------------------------------------
void Post(CSession& session, const Words& words);

// --- feeds from peers (feed_commands.cpp) -------------------------------------------
void FeedModeStream(CSession& session, const Words& words);
void FeedIhave(CSession& session, const Words& words);
void FeedCheck(CSession& session, const Words& words);
void FeedTakeThis(CSession& session, const Words& words);
