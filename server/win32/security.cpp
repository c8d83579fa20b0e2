// The relay's access lists on Windows and the check of who serves a control pipe (security.h).
#include "server/win32/security.h"
#include "server/win32/error.h"
#include "server/win32/service.h"

#include <aclapi.h>
#include <sddl.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>

enum {
    // Modify: read, write, run and delete, not change the list or the owner.
    MODIFY = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE,
    // A folder listed and passed through, nothing read from its files by this entry.
    LIST = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE,
};

int win32_service_sid(const char* name, char* out, int size) {
    wchar_t wide[256];
    int n = MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, 256);
    if (n <= 1) return 0;
    CharUpperBuffW(wide, static_cast<DWORD>(n - 1));
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    BYTE digest[20];
    DWORD len = sizeof digest;
    int ok =
        CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) &&
        CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash) &&
        CryptHashData(hash, reinterpret_cast<const BYTE*>(wide),
                      static_cast<DWORD>((n - 1) * sizeof(wchar_t)), 0) &&
        CryptGetHashParam(hash, HP_HASHVAL, digest, &len, 0) && len == sizeof digest;
    if (hash != 0) CryptDestroyHash(hash);
    if (provider != 0) CryptReleaseContext(provider, 0);
    if (!ok) return 0;
    unsigned long part[5];
    for (int i = 0; i < 5; ++i)
        part[i] = digest[i * 4] | digest[i * 4 + 1] << 8 | digest[i * 4 + 2] << 16 |
                  static_cast<unsigned long>(digest[i * 4 + 3]) << 24;
    return std::snprintf(out, static_cast<size_t>(size), "S-1-5-80-%lu-%lu-%lu-%lu-%lu", part[0],
                         part[1], part[2], part[3], part[4]) < size;
}

static int relay_sid(char* out, int size) {
    return win32_service_sid(KELTUP_SERVICE_NAME, out, size);
}

int win32_data_folder_sddl(char* out, int size) {
    char svc[SID_TEXT_SIZE];
    return relay_sid(svc, sizeof svc) &&
           std::snprintf(out, static_cast<size_t>(size),
                         "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x%lx;;;%s)(A;;0x%lx;;;BU)",
                         static_cast<unsigned long>(MODIFY), svc,
                         static_cast<unsigned long>(LIST)) < size;
}

int win32_users_file_sddl(char* out, int size) {
    char svc[SID_TEXT_SIZE];
    return relay_sid(svc, sizeof svc) &&
           std::snprintf(out, static_cast<size_t>(size),
                         "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;%s)(A;;FR;;;BU)", svc) < size;
}

static void fail(char* err, int err_size, const char* what, const char* path, DWORD code) {
    std::snprintf(err, static_cast<size_t>(err_size), "%s %s: %s", what, path,
                  win32_error_text(code));
}

int win32_make_data_folder(const char* folder, char* err, int err_size) {
    char sddl[SDDL_SIZE];
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!win32_data_folder_sddl(sddl, sizeof sddl) ||
        !ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd,
                                                              nullptr)) {
        fail(err, err_size, "cannot make the list for", folder, GetLastError());
        return 0;
    }
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    int ok = CreateDirectoryA(folder, &sa) || GetLastError() == ERROR_ALREADY_EXISTS;
    DWORD why = GetLastError();
    if (!ok) fail(err, err_size, "cannot make", folder, why);
    LocalFree(sd);
    SetLastError(why);
    return ok;
}

// Gives path the list in sddl and the Administrators as owner.
static int set_list(const char* path, const char* sddl, PSID admins) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr))
        return 0;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
    DWORD why = SetNamedSecurityInfoA(const_cast<char*>(path), SE_FILE_OBJECT,
                                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                          PROTECTED_DACL_SECURITY_INFORMATION,
                                      admins, nullptr, dacl, nullptr);
    LocalFree(sd);
    SetLastError(why);
    return why == ERROR_SUCCESS;
}

// An administrator may make the Administrators the owner of what someone else made.
static void enable_privileges() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return;
    static const char* const kNames[] = {SE_TAKE_OWNERSHIP_NAME, SE_RESTORE_NAME};
    for (const char* name : kNames) {
        TOKEN_PRIVILEGES p = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
        if (LookupPrivilegeValueA(nullptr, name, &p.Privileges[0].Luid))
            AdjustTokenPrivileges(token, FALSE, &p, 0, nullptr, nullptr);
    }
    CloseHandle(token);
}

// The owner of path as SID text; "" when it cannot be read.
static void owner_of(const char* path, char* out, int size) {
    out[0] = '\0';
    PSECURITY_DESCRIPTOR sd = nullptr;
    PSID owner = nullptr;
    char* text = nullptr;
    if (GetNamedSecurityInfoA(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                              nullptr, nullptr, &sd) == ERROR_SUCCESS &&
        ConvertSidToStringSidA(owner, &text)) {
        std::snprintf(out, static_cast<size_t>(size), "%s", text);
        LocalFree(text);
    }
    if (sd != nullptr) LocalFree(sd);
}

static int trusted_owner(const char* sid, const char* self, const char* svc) {
    // SYSTEM, the Administrators, LocalService, TrustedInstaller.
    static const char* const kTrusted[] = {
        "S-1-5-18", "S-1-5-32-544", "S-1-5-19",
        "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"};
    for (const char* t : kTrusted)
        if (std::strcmp(sid, t) == 0) return 1;
    return sid[0] != '\0' && (std::strcmp(sid, self) == 0 || std::strcmp(sid, svc) == 0);
}

int win32_prepare_data_folder(const char* folder, const char* example) {
    char self[SID_TEXT_SIZE], svc[SID_TEXT_SIZE], sddl[SDDL_SIZE], err[700];
    char path[MAX_PATH * 2], aside[MAX_PATH * 2], owner[SID_TEXT_SIZE];
    PSID admins = nullptr;
    win32_own_user(self, sizeof self);
    if (!relay_sid(svc, sizeof svc) || !ConvertStringSidToSidA("S-1-5-32-544", &admins)) {
        std::fprintf(stderr, "keltup-server: cannot make the service's SID\n");
        return 1;
    }
    enable_privileges();
    // A link leads elsewhere: it is neither followed nor moved (moving one may move what it points
    // to); an administrator removes it. A file in the folder's place is set aside.
    DWORD attributes = GetFileAttributesA(folder);
    std::snprintf(aside, sizeof aside, "%s.untrusted", folder);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        std::fprintf(stderr, "keltup-server: %s is a link: remove it, then run this again\n",
                     folder);
        LocalFree(admins);
        return 1;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        if (!MoveFileExA(folder, aside, MOVEFILE_REPLACE_EXISTING)) {
            std::fprintf(stderr, "keltup-server: %s is not a folder and cannot be set aside: %s\n",
                         folder, win32_error_text(GetLastError()));
            LocalFree(admins);
            return 1;
        }
        std::printf("keltup-server: %s was not a folder: set aside as %s\n", folder, aside);
    }
    int ok = win32_make_data_folder(folder, err, sizeof err) &&
             win32_data_folder_sddl(sddl, sizeof sddl);
    if (ok && !set_list(folder, sddl, admins)) {
        fail(err, sizeof err, "cannot set the access list of", folder, GetLastError());
        ok = 0;
    }
    // Files someone else put there before the list was set are never read as the relay's.
    WIN32_FIND_DATAA f;
    std::snprintf(path, sizeof path, "%s\\*", folder);
    HANDLE found = ok ? FindFirstFileA(path, &f) : INVALID_HANDLE_VALUE;
    for (BOOL more = found != INVALID_HANDLE_VALUE; more; more = FindNextFileA(found, &f)) {
        // Folders too: a planted one could stand where the relay renames its files.
        if (std::strcmp(f.cFileName, ".") == 0 || std::strcmp(f.cFileName, "..") == 0 ||
            std::strncmp(f.cFileName, "untrusted-", 10) == 0)
            continue;
        std::snprintf(path, sizeof path, "%s\\%s", folder, f.cFileName);
        if (f.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            std::snprintf(err, sizeof err, "%s is a link: remove it, then run this again", path);
            ok = 0;
            continue;
        }
        owner_of(path, owner, sizeof owner);
        if (trusted_owner(owner, self, svc)) continue;
        std::snprintf(aside, sizeof aside, "%s\\untrusted-%s", folder, f.cFileName);
        // One that cannot be renamed is removed.
        int moved = MoveFileExA(path, aside, MOVEFILE_REPLACE_EXISTING);
        if (!moved && !DeleteFileA(path)) {
            fail(err, sizeof err, "cannot set aside", path, GetLastError());
            ok = 0;
            continue;
        }
        std::printf("keltup-server: %s was made by %s, not by an administrator: %s%s\n", path,
                    owner[0] != '\0' ? owner : "an unknown owner",
                    moved ? "set aside as " : "removed", moved ? aside : "");
    }
    if (found != INVALID_HANDLE_VALUE) FindClose(found);
    std::snprintf(path, sizeof path, "%s\\users", folder);
    if (ok && example != nullptr && GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES &&
        !CopyFileA(example, path, TRUE)) {
        fail(err, sizeof err, "cannot make", path, GetLastError());
        ok = 0;
    }
    if (ok && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES &&
        !(win32_users_file_sddl(sddl, sizeof sddl) && set_list(path, sddl, admins))) {
        fail(err, sizeof err, "cannot set the access list of", path, GetLastError());
        ok = 0;
    }
    LocalFree(admins);
    if (!ok) {
        std::fprintf(stderr, "keltup-server: %s\n", err);
        return 1;
    }
    std::printf("keltup-server: %s: SYSTEM and the Administrators in full, %s (NT SERVICE\\%s) "
                "may modify, the Users may list it and read its users file\n",
                folder, svc, KELTUP_SERVICE_NAME);
    return 0;
}

// --- who serves a pipe -----------------------------------------------------------------------

// The user of token as SID text into out.
static void token_user(HANDLE token, char* out, int size) {
    out[0] = '\0';
    BYTE buf[512];
    DWORD got = 0;
    char* text = nullptr;
    if (GetTokenInformation(token, TokenUser, buf, sizeof buf, &got) &&
        ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buf)->User.Sid, &text)) {
        std::snprintf(out, static_cast<size_t>(size), "%s", text);
        LocalFree(text);
    }
}

void win32_own_user(char* out, int size) {
    HANDLE token = nullptr;
    out[0] = '\0';
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    token_user(token, out, size);
    CloseHandle(token);
}

// The process the service control manager runs the relay's service in; 0 when none.
static unsigned long service_pid() {
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE svc = scm ? OpenServiceA(scm, KELTUP_SERVICE_NAME, SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS_PROCESS s;
    DWORD need = 0;
    unsigned long pid = 0;
    if (svc != nullptr && QueryServiceStatusEx(svc, SC_STATUS_PROCESS_INFO,
                                               reinterpret_cast<BYTE*>(&s), sizeof s, &need))
        pid = s.dwProcessId;
    if (svc != nullptr) CloseServiceHandle(svc);
    if (scm != nullptr) CloseServiceHandle(scm);
    return pid;
}

void win32_pipe_server(void* h, PipeServer* out) {
    std::memset(out, 0, sizeof *out);
    ULONG pid = 0;
    if (!GetNamedPipeServerProcessId(static_cast<HANDLE>(h), &pid) || pid == 0) return;
    out->pid = pid;
    out->is_service = pid == service_pid();
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    HANDLE token = nullptr;
    if (process == nullptr || !OpenProcessToken(process, TOKEN_QUERY, &token)) {
        if (process != nullptr) CloseHandle(process);
        return;
    }
    token_user(token, out->user, sizeof out->user);
    PSID svc = nullptr, admins = nullptr;
    char svc_text[SID_TEXT_SIZE];
    static BYTE buf[16384];
    DWORD got = 0;
    if (relay_sid(svc_text, sizeof svc_text) && ConvertStringSidToSidA(svc_text, &svc) &&
        ConvertStringSidToSidA("S-1-5-32-544", &admins) &&
        GetTokenInformation(token, TokenGroups, buf, sizeof buf, &got)) {
        const TOKEN_GROUPS* g = reinterpret_cast<TOKEN_GROUPS*>(buf);
        for (DWORD i = 0; i < g->GroupCount; ++i) {
            if (!(g->Groups[i].Attributes & SE_GROUP_ENABLED)) continue;
            out->has_service_sid |= EqualSid(g->Groups[i].Sid, svc) != 0;
            out->admin |= EqualSid(g->Groups[i].Sid, admins) != 0;
        }
    }
    if (svc != nullptr) LocalFree(svc);
    if (admins != nullptr) LocalFree(admins);
    CloseHandle(token);
    CloseHandle(process);
}

int win32_pipe_server_trusted(const PipeServer* s, const char* caller_user) {
    if (s->pid == 0) return 0;
    if (s->is_service || s->has_service_sid || s->admin) return 1;
    return s->user[0] != '\0' &&
           (std::strcmp(s->user, "S-1-5-18") == 0 || std::strcmp(s->user, caller_user) == 0);
}
