#pragma once

#include <string_view>

// Matches `text` against an NNTP wildmat: comma-separated patterns of
// literal bytes, "*", "?" and "[...]" sets; a pattern starting with "!"
// excludes what it matches. The last pattern that matches decides.
bool Wildmat(std::string_view text, std::string_view wildmat);
