// The settings reader on arbitrary bytes. Whatever it accepts must be usable
// as it stands: no group or user without a name, no name or list entry that
// still holds one of the separators it was cut at, switches that are 0 or 1,
// and an "AllOk" flag that agrees with its list. Reading the bytes from a
// file must give what parsing them after the text-mode line-end translation
// gives.
#include <cstddef>
#include <cstdint>
#include <string>

#include "config/settings.h"
#include "fuzz/fuzz_support.h"

namespace {

void CheckField(const std::string& field, const char* separators, const char* what) {
    FUZZ_CHECK(!field.empty(), std::string("empty ") + what);
    FUZZ_CHECK(field.find_first_of(separators) == std::string::npos,
               std::string(what) + " holds a separator: " + Escaped(field));
    FUZZ_CHECK(field.find('\0') == std::string::npos,
               std::string(what) + " holds a NUL: " + Escaped(field));
}

void CheckRights(const std::vector<std::string>& names, int all, const char* what) {
    for (const std::string& name : names) CheckField(name, ",\r\n \t", what);
    if (!names.empty())
        FUZZ_CHECK(all == (names[0] == "AllOk" ? 1 : 0),
                   std::string(what) + " flag disagrees with its first name");
    else
        FUZZ_CHECK(all == 0 || all == 1, std::string(what) + " flag out of range");
}

void CheckSettings(const ServerSettings& s) {
    for (int flag : {s.m_bUseAuthor, s.m_bUseExpire, s.m_bCancelEveryOne, s.m_bUseRfc3977})
        FUZZ_CHECK(flag == 0 || flag == 1, "a switch is neither 0 nor 1");
    for (const auto& group : s.groups) {
        CheckField(group.name, " \t\r\n", "group name");
        CheckField(group.note, " \t\r\n", "group note");
        CheckRights(group.readers, group.readAll, "reader");
        CheckRights(group.posters, group.postAll, "poster");
    }
    for (const auto& user : s.users) {
        CheckField(user.name, " \t\r\n", "user name");
        CheckField(user.password, " \t\r\n", "password");
    }
}

std::string Describe(const ServerSettings& s) {
    std::string out = std::to_string(s.m_nPortNo) + " " + std::to_string(s.m_bUseAuthor) +
                      std::to_string(s.m_bUseExpire) + std::to_string(s.m_bCancelEveryOne) +
                      std::to_string(s.m_bUseRfc3977) + "\n";
    for (const auto& g : s.groups) {
        out += "group " + Escaped(g.name) + " " + std::to_string(g.expireHours) + " " +
               Escaped(g.note) + " r" + std::to_string(g.readAll);
        for (const auto& n : g.readers) out += "," + Escaped(n);
        out += " p" + std::to_string(g.postAll);
        for (const auto& n : g.posters) out += "," + Escaped(n);
        out += "\n";
    }
    for (const auto& u : s.users)
        out += "user " + Escaped(u.name) + " " + Escaped(u.password) + "\n";
    return out;
}

// What a text-mode read makes of the bytes: every CR LF becomes LF.
std::string TextMode(const std::string& bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i)
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')) out += bytes[i];
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ScratchDir dir;
    std::string bytes(reinterpret_cast<const char*>(data), size);

    ServerSettings parsed;
    ParseSettings(bytes, parsed);
    CheckSettings(parsed);

    std::string path = dir.Path() + "/Marrowby.ini";
    FUZZ_CHECK(WriteWholeFile(path, bytes), "cannot write " + path);
    ServerSettings fromFile;
    FUZZ_CHECK(ReadSettingsFile(path, fromFile), "cannot read " + path);
    ServerSettings translated;
    ParseSettings(TextMode(bytes), translated);
    FUZZ_CHECK(Describe(fromFile) == Describe(translated),
               "file read gives\n" + Describe(fromFile) + "but the translated text gives\n" +
                   Describe(translated));
    return 0;
}
