// Message-IDs made for articles posted here in the standard reader mode, and
// the host name they carry.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

// A new Message-ID "<unique@pathHost>". The unique part is the time `now`,
// a counter of this process and the process's own tag (its pid and a random
// number drawn once at first use), each in base 36, joined by dots: two
// calls in one process never give the same one, whatever the clock does;
// two processes, running side by side or one after the other within the
// same second (even with the same pid), differ in their tags. `pathHost`
// must be a host name (letters, digits, dots, hyphens) for the result to be
// a valid Message-ID.
std::string NewMessageId(time_t now, std::string_view pathHost);

// This machine's fully qualified host name, as the resolver gives it for
// the host name (which may ask the name service); the plain host name when
// that gives no name with a dot; "localhost" when there is no host name at
// all. Lower-cased.
std::string DefaultPathHost();
