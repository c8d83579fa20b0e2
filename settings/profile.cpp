#include "settings/profile.h"

#ifdef _WIN32

#include "settings/path.h"

#include <windows.h>

// The file's name is UTF-8 and reaches the system as UTF-16. Sections, keys and values stay in
// the ANSI code page, as the file holds them: the system's wide calls convert them on the way.
enum { TEXT_SIZE = 1024 };

static int ansi_to_wide(const char* text, wchar_t* out) {
    return text && MultiByteToWideChar(CP_ACP, 0, text, -1, out, TEXT_SIZE) > 0;
}

int profile_get_string(const char* section, const char* key, const char* def, char* buf, int size,
                       const char* file) {
    if (!buf || size <= 0) return 0;
    if (!def) def = "";
    wchar_t wide_file[MAX_PATH * 2], wide_section[TEXT_SIZE], wide_key[TEXT_SIZE],
        wide_def[TEXT_SIZE], value[TEXT_SIZE];
    char text[TEXT_SIZE * 2];
    int n = 0;
    if (path_to_wide(file, wide_file, MAX_PATH * 2) && ansi_to_wide(section, wide_section) &&
        ansi_to_wide(key, wide_key) && ansi_to_wide(def, wide_def)) {
        GetPrivateProfileStringW(wide_section, wide_key, wide_def, value, TEXT_SIZE, wide_file);
        n = WideCharToMultiByte(CP_ACP, 0, value, -1, text, sizeof text, nullptr, nullptr) - 1;
    }
    if (n < 0) n = 0;
    if (n > size - 1) n = size - 1;
    memcpy(buf, text, static_cast<size_t>(n));
    buf[n] = '\0';
    return n;
}

int profile_get_int(const char* section, const char* key, int def, const char* file) {
    wchar_t wide_file[MAX_PATH * 2], wide_section[TEXT_SIZE], wide_key[TEXT_SIZE];
    if (!path_to_wide(file, wide_file, MAX_PATH * 2) || !ansi_to_wide(section, wide_section) ||
        !ansi_to_wide(key, wide_key))
        return def;
    return static_cast<int>(GetPrivateProfileIntW(wide_section, wide_key, def, wide_file));
}

int profile_write_string(const char* section, const char* key, const char* value,
                         const char* file) {
    wchar_t wide_file[MAX_PATH * 2], wide_section[TEXT_SIZE], wide_key[TEXT_SIZE],
        wide_value[TEXT_SIZE];
    if (!path_to_wide(file, wide_file, MAX_PATH * 2) || !ansi_to_wide(section, wide_section) ||
        !ansi_to_wide(key, wide_key) || !ansi_to_wide(value, wide_value))
        return 0;
    return WritePrivateProfileStringW(wide_section, wide_key, wide_value, wide_file) ? 1 : 0;
}

#else

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// The file as lines without their line ends, each line's own end ("\n", "\r\n", or "" for a
// last line without one), whether it starts with a UTF-8 byte-order mark, and the line end it
// uses for the lines a write adds: its first, else CR LF when it ends in a CR (a line end added
// after it then leaves that line's text as it was), else LF.
struct ProfileText {
    std::vector<std::string> lines;
    std::vector<std::string> ends;
    int bom;
    const char* eol;
};

static int read_profile(const char* file, ProfileText* text) {
    text->lines.clear();
    text->ends.clear();
    text->bom = 0;
    text->eol = nullptr;
    FILE* f = std::fopen(file, "rb");
    if (!f) {
        text->eol = "\n";
        return 0;
    }
    std::string all;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        all.append(chunk, n);
    std::fclose(f);
    size_t start = 0;
    if (all.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        start = 3;
        text->bom = 1;
    }
    while (start < all.size()) {
        size_t end = all.find('\n', start);
        if (end == std::string::npos) {
            text->lines.push_back(all.substr(start));
            text->ends.push_back("");
            break;
        }
        size_t stop = end > start && all[end - 1] == '\r' ? end - 1 : end;
        text->lines.push_back(all.substr(start, stop - start));
        text->ends.push_back(stop < end ? "\r\n" : "\n");
        if (!text->eol) text->eol = stop < end ? "\r\n" : "\n";
        start = end + 1;
    }
    if (!text->eol) text->eol = !all.empty() && all[all.size() - 1] == '\r' ? "\r\n" : "\n";
    return 1;
}

static int is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

static std::string trim(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && is_blank(s[a]))
        ++a;
    while (b > a && is_blank(s[b - 1]))
        --b;
    return s.substr(a, b - a);
}

static int same_name(const std::string& a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return 0;
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 'a' + 'A');
        if (x != y) return 0;
    }
    return 1;
}

// "[name]" lines give the section name; anything else gives 0.
static int section_header(const std::string& line, std::string* name) {
    std::string t = trim(line);
    if (t.empty() || t[0] != '[') return 0;
    size_t close = t.find(']');
    if (close == std::string::npos) return 0;
    *name = trim(t.substr(1, close - 1));
    return 1;
}

// "key=value" lines give both, trimmed; comments and lines without '=' give 0.
static int key_line(const std::string& line, std::string* key, std::string* value) {
    std::string t = trim(line);
    if (t.empty() || t[0] == ';') return 0;
    size_t eq = t.find('=');
    if (eq == std::string::npos) return 0;
    *key = trim(t.substr(0, eq));
    *value = trim(t.substr(eq + 1));
    return 1;
}

// Where a section's lines are: its header line, and one past its last line. The first section of
// that name is the one used.
struct SectionSpan {
    int header;
    int end;
};

static int find_section(const ProfileText& text, const char* section, SectionSpan* span) {
    std::string name;
    int count = static_cast<int>(text.lines.size());
    for (int i = 0; i < count; ++i) {
        if (!section_header(text.lines[i], &name) || !same_name(name, section)) continue;
        int j = i + 1;
        while (j < count && !section_header(text.lines[j], &name))
            ++j;
        span->header = i;
        span->end = j;
        return 1;
    }
    return 0;
}

static int find_key(const ProfileText& text, const SectionSpan& span, const char* key,
                    std::string* value) {
    std::string k, v;
    for (int i = span.header + 1; i < span.end; ++i) {
        if (key_line(text.lines[i], &k, &v) && same_name(k, key)) {
            if (value) *value = v;
            return i;
        }
    }
    return -1;
}

// The value as read: one pair of matching quotes around it is removed.
static std::string unquote(const std::string& v) {
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v[v.size() - 1] == v[0])
        return v.substr(1, v.size() - 2);
    return v;
}

static int lookup(const char* section, const char* key, const char* file, std::string* value) {
    ProfileText text;
    SectionSpan span;
    if (!file || !section || !key || !read_profile(file, &text)) return 0;
    if (!find_section(text, section, &span)) return 0;
    if (find_key(text, span, key, value) < 0) return 0;
    *value = unquote(*value);
    return 1;
}

int profile_get_string(const char* section, const char* key, const char* def, char* buf, int size,
                       const char* file) {
    if (!buf || size <= 0) return 0;
    std::string value;
    if (!lookup(section, key, file, &value)) {
        // The default loses its trailing blanks, as the value would.
        value = def ? def : "";
        while (!value.empty() && is_blank(value[value.size() - 1]))
            value.pop_back();
    }
    size_t n = value.size();
    if (n > static_cast<size_t>(size - 1)) n = static_cast<size_t>(size - 1);
    std::memcpy(buf, value.data(), n);
    buf[n] = '\0';
    return static_cast<int>(n);
}

int profile_get_int(const char* section, const char* key, int def, const char* file) {
    std::string value;
    if (!lookup(section, key, file, &value) || value.empty()) return def;
    size_t i = 0;
    int negative = 0;
    if (value[i] == '+' || value[i] == '-') negative = value[i++] == '-';
    unsigned long n = 0; // wraps like the system's own reader
    while (i < value.size() && value[i] >= '0' && value[i] <= '9')
        n = (n * 10 + static_cast<unsigned long>(value[i++] - '0')) & 0xFFFFFFFFul;
    if (negative) n = (0x100000000ul - n) & 0xFFFFFFFFul;
    return static_cast<int>(static_cast<unsigned>(n));
}

int profile_write_string(const char* section, const char* key, const char* value,
                         const char* file) {
    if (!section || !key || !value || !file) return 0;
    ProfileText text;
    // A file that exists but cannot be read is left alone rather than rewritten from nothing.
    if (!read_profile(file, &text) && errno != ENOENT) return 0;
    std::string entry = std::string(key) + "=" + value;
    SectionSpan span;
    if (!find_section(text, section, &span)) {
        if (!text.lines.empty() && !trim(text.lines.back()).empty()) {
            text.lines.push_back("");
            text.ends.push_back(text.eol);
        }
        text.lines.push_back("[" + std::string(section) + "]");
        text.ends.push_back(text.eol);
        text.lines.push_back(entry);
        text.ends.push_back(text.eol);
    } else {
        std::string old;
        int at = find_key(text, span, key, &old);
        if (at >= 0) {
            // Keep the key as the file spells it, and the line's own end.
            std::string k, v;
            key_line(text.lines[at], &k, &v);
            text.lines[at] = k + "=" + value;
        } else {
            // After the section's last non-blank line.
            int pos = span.end;
            while (pos > span.header + 1 && trim(text.lines[pos - 1]).empty())
                --pos;
            text.lines.insert(text.lines.begin() + pos, entry);
            text.ends.insert(text.ends.begin() + pos, text.eol);
        }
    }
    // Every line keeps its own end; a last line without one gets one when lines follow it now.
    std::string out = text.bom ? "\xEF\xBB\xBF" : "";
    size_t count = text.lines.size();
    for (size_t i = 0; i < count; ++i) {
        out += text.lines[i];
        out += text.ends[i].empty() && i + 1 < count ? std::string(text.eol) : text.ends[i];
    }
    FILE* f = std::fopen(file, "wb");
    if (!f) return 0;
    size_t written = std::fwrite(out.data(), 1, out.size(), f);
    int closed = std::fclose(f) == 0;
    return written == out.size() && closed ? 1 : 0;
}

#endif
