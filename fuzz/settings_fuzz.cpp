// The settings file: any contents, then the reads the program makes at start-up and one save.
// Checked after the save:
// - the five keys read back as they were written;
// - every line that is not one of the five keys' lines is still there, in order, byte for byte
//   with its own line end, and so is a leading UTF-8 byte-order mark; a replaced key line keeps
//   its line end, and a line the save adds takes the file's (its first line end).
#include "fuzz/fuzz_input.h"
#include "platform/fake/fake_dialogs.h"
#include "platform/fake/fake_ui.h"
#include "settings/profile.h"
#include "settings/settings.h"
#include "settings/settings_dialog.h"

#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string path;

const char* const kKeys[5] = {"servername", "nick", "localport", "remoteport", "popup"};
const char kBom[] = "\xEF\xBB\xBF";

struct Line {
    std::string text; // without its line end
    std::string end;  // "\n", "\r\n", or "" for a last line without one
};

std::vector<Line> split(const std::string& all, size_t start) {
    std::vector<Line> lines;
    while (start < all.size()) {
        size_t nl = all.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back({all.substr(start), ""});
            break;
        }
        size_t stop = nl > start && all[nl - 1] == '\r' ? nl - 1 : nl;
        lines.push_back({all.substr(start, stop - start), all.substr(stop, nl + 1 - stop)});
        start = nl + 1;
    }
    return lines;
}

// The reader's rules: blanks are spaces, tabs, CRs and LFs, names match without regard to case.
int blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string trim(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && blank(s[a]))
        ++a;
    while (b > a && blank(s[b - 1]))
        --b;
    return s.substr(a, b - a);
}

int same(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return 0;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
        if (x != y) return 0;
    }
    return 1;
}

// "[name]": 1 with the name.
int header(const std::string& text, std::string* name) {
    std::string t = trim(text);
    size_t close = t.find(']');
    if (t.empty() || t[0] != '[' || close == std::string::npos) return 0;
    *name = trim(t.substr(1, close - 1));
    return 1;
}

// The key of a "key=value" line, "" for anything else.
std::string key_of(const std::string& text) {
    std::string t = trim(text);
    size_t eq = t.find('=');
    if (t.empty() || t[0] == ';' || eq == std::string::npos) return "";
    return trim(t.substr(0, eq));
}

// The lines a save may replace: in the first [settings] section, the first line of each key.
std::vector<int> key_lines(const std::vector<Line>& lines) {
    std::vector<int> mine(lines.size(), 0);
    std::string name;
    size_t i = 0;
    while (i < lines.size() && !(header(lines[i].text, &name) && same(name, "settings")))
        ++i;
    int seen[5] = {0, 0, 0, 0, 0};
    for (++i; i < lines.size() && !header(lines[i].text, &name); ++i) {
        std::string key = key_of(lines[i].text);
        for (int k = 0; k < 5; ++k)
            if (!key.empty() && same(key, kKeys[k]) && !seen[k]) seen[k] = mine[i] = 1;
    }
    return mine;
}

// A line a save adds: a key line, its section's header, the blank line before that header.
int added(const Line& line) {
    if (line.text.empty() || line.text == "[settings]") return 1;
    for (const char* k : kKeys)
        if (line.text.compare(0, std::strlen(k) + 1, std::string(k) + "=") == 0) return 1;
    return 0;
}

void check_lines(const std::string& before, const std::string& after) {
    int bom = before.compare(0, 3, kBom) == 0;
    if (bom != (after.compare(0, 3, kBom) == 0))
        fuzz_fail(bom ? "the byte-order mark was lost" : "a byte-order mark was added");
    std::vector<Line> in = split(before, bom ? 3 : 0), out = split(after, bom ? 3 : 0);
    // The file's line end: its first; without one, CR LF after a CR at its very end, else LF.
    std::string eol =
        !in.empty() && in.back().text.size() && in.back().text.back() == '\r' ? "\r\n" : "\n";
    for (const Line& l : in)
        if (!l.end.empty()) {
            eol = l.end;
            break;
        }
    std::vector<int> mine = key_lines(in);
    // A replaced key line keeps the key as the file spells it; any other line stays as it is.
    auto kept = [&](size_t i, size_t j) {
        if (mine[i]) {
            std::string key = key_of(in[i].text);
            return out[j].text.compare(0, key.size() + 1, key + "=") == 0;
        }
        // A last line without an end gets the file's when lines follow it now (a CR at its end
        // then reads as part of a CR LF).
        if (in[i].end.empty() && j + 1 < out.size())
            return out[j].text + out[j].end == in[i].text + eol;
        return out[j].text == in[i].text;
    };
    auto check_added = [&](size_t j) {
        if (!added(out[j])) fuzz_fail("line %zu appeared", j + 1);
        if (out[j].end != eol) fuzz_fail("added line %zu does not end as the file does", j + 1);
    };
    size_t j = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        while (j < out.size() && !kept(i, j))
            check_added(j++);
        if (j == out.size()) fuzz_fail("input line %zu is gone", i + 1);
        // A line without an end stays so only while it is the last.
        std::string end = in[i].end.empty() && j + 1 < out.size() ? eol : in[i].end;
        // (A replaced line's value may end in a CR of its own, see as_read: its bytes end with
        // the line's end all the same.)
        std::string bytes = out[j].text + out[j].end;
        if (mine[i] ? bytes.compare(bytes.size() - end.size(), end.size(), end) != 0
                    : bytes != in[i].text + end)
            fuzz_fail("input line %zu changed its line end", i + 1);
        ++j;
    }
    while (j < out.size())
        check_added(j++);
}

std::string read_all() {
    std::string all;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) fuzz_fail("the settings file is gone");
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        all.append(chunk, n);
    std::fclose(f);
    return all;
}

// What a written value reads back as. The file has no way to write a value with blanks at its
// ends (they are trimmed) or one enclosed in a pair of matching quotes (one pair is removed):
// the system's own profile functions on Windows share both limits. A value read from a file
// never has either, but the cut to the field's size (19 characters of the nick, 511 of the
// server) or a NUL byte inside a value can leave a blank at its end, and a value read as
// '"x"' is written as "x".
std::string as_read(const char* value) {
    std::string v = trim(value);
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0])
        v = v.substr(1, v.size() - 2);
    return v;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    path = std::string(dir) + "/keltup-fuzz-settings-" + std::to_string(getpid()) + ".ini";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string before(reinterpret_cast<const char*>(data), size);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) fuzz_fail("cannot write %s", path.c_str());
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    // The program's start: built-in values, then the file named on its command line.
    std::strcpy(servername, "0.0.0.0");
    std::strcpy(nick, "mrnobody");
    localport = remoteport = 99;
    popup = 1;
    std::snprintf(settings_file, sizeof settings_file, "%s", path.c_str());
    fake_ui_reset();
    fake_dialogs_reset();
    // A first run opens the settings dialog: Cancel keeps the built-in values.
    fake_script("SETBOX", [](UiWnd dlg) { fake_press(dlg, UI_IDCANCEL); });
    if (settings_load() == SETTINGS_FIRST_RUN) settings_dialog_open(0);
    if (!fake_errors.empty()) fuzz_fail("%s", fake_errors[0].c_str());
    settings_save();

    std::string after = read_all();
    char text[SETTINGS_PATH_SIZE];
    profile_get_string("settings", "servername", "", text, sizeof text, path.c_str());
    if (as_read(servername) != text) fuzz_fail("servername reads back as \"%s\"", text);
    char nick_text[sizeof nick + 1] = "";
    std::memcpy(nick_text, nick, sizeof nick);
    nick_text[sizeof nick - 1] = '\0';
    profile_get_string("settings", "nick", "", text, sizeof text, path.c_str());
    if (as_read(nick_text) != text) fuzz_fail("nick reads back as \"%s\"", text);
    const int values[3] = {localport, remoteport, popup};
    for (int k = 0; k < 3; ++k) {
        int got = profile_get_int("settings", kKeys[2 + k], values[k] ^ 1, path.c_str());
        if (got != values[k])
            fuzz_fail("%s reads back as %d, not %d", kKeys[2 + k], got, values[k]);
    }
    check_lines(before, after);
    return 0;
}
