// The operator's channel on Windows: a named pipe made with a security descriptor of its own,
// served with overlapped I/O so that a slow operator never holds up the relay; the metrics file;
// and the operator's side of the pipe.
#include <windows.h> // lean (the build says so): nb30.h's GROUP_NAME would clash with relay.h

#include "server/control.h"
#include "server/win32/error.h"

#include "server/relay.h"
#include "server/state_fs.h"
#include "server/win32/security.h"
#include "server/win32/service.h"

#include <sddl.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

enum {
    PIPE_BUFFER = 65536,
    // What a member of the control group may do with the pipe: read, write, set its read mode,
    // and nothing that makes an instance of it (FILE_CREATE_PIPE_INSTANCE).
    GROUP_ACCESS = FILE_READ_DATA | FILE_WRITE_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES |
                   READ_CONTROL | SYNCHRONIZE,
    // ... and what the operator's side asks for when it opens it.
    CALLER_ACCESS = FILE_READ_DATA | FILE_WRITE_DATA | FILE_READ_ATTRIBUTES |
                    FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
};

// A pipe message of one NUL byte ends an answer: the caller cannot tell the end by the pipe's
// closing, as a disconnect would throw away what it has not read yet.
static const char kEndMark[1] = {'\0'};

int control_default_path(char* out, int size, int* own_dir, char*, int) {
    *own_dir = 0;
    std::snprintf(out, static_cast<size_t>(size), "\\\\.\\pipe\\keltup-server");
    return 1;
}

// --- the relay's side ------------------------------------------------------------------------

// An instance's life: waiting for a caller, reading its request, writing the answer and the end
// mark, then waiting for the caller to close its end.
enum { LISTENING, READING, WRITING, CLOSING };

struct Instance {
    HANDLE pipe;
    OVERLAPPED ov; // its event is signalled when the call in flight completes
    int state;
    int pending; // an overlapped call is in flight
    int ending;  // the end mark is what is being written
    long long deadline;
    int in_len;
    char in[CONTROL_REQUEST_SIZE + 2];
    ControlAnswer answer;
};

static Instance pipes[CONTROL_CLIENTS];
static int listening;
static char group_sid[200];
static char sddl[1200];
static PSECURITY_DESCRIPTOR descriptor;

int control_set_group(const char* account, char* err, int err_size) {
    group_sid[0] = '\0';
    if (account == nullptr) return 1;
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sid_size = sizeof sid;
    char domain[256];
    DWORD domain_size = sizeof domain;
    SID_NAME_USE use;
    char* text = nullptr;
    if (!LookupAccountNameA(nullptr, account, sid, &sid_size, domain, &domain_size, &use) ||
        !ConvertSidToStringSidA(sid, &text)) {
        control_fail(err, err_size, "control group %s: %s", account,
                     win32_error_text(GetLastError()));
        return 0;
    }
    std::snprintf(group_sid, sizeof group_sid, "%s", text);
    LocalFree(text);
    return 1;
}

const char* control_sddl() {
    return sddl;
}

// The pipe's descriptor: network callers denied; SYSTEM, the Administrators and the relay's own
// identity (which makes the pipe's instances) in full; the control group to talk to it. The
// relay's identity is the service's own SID under the service control manager (not LocalService,
// which every such service shares), else the account it runs as.
static int make_descriptor(char* err, int err_size) {
    char own[SID_TEXT_SIZE] = "";
    if (service_active())
        win32_service_sid(KELTUP_SERVICE_NAME, own, sizeof own);
    else
        win32_own_user(own, sizeof own);
    if (own[0] == '\0') {
        control_fail(err, err_size, "control pipe: the relay's own identity is unknown: %s",
                     win32_error_text(GetLastError()));
        return 0;
    }
    int n = std::snprintf(sddl, sizeof sddl, "D:P(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;%s)",
                          own);
    if (group_sid[0] != '\0')
        std::snprintf(sddl + n, sizeof sddl - static_cast<size_t>(n), "(A;;0x%lx;;;%s)",
                      static_cast<unsigned long>(GROUP_ACCESS), group_sid);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        control_fail(err, err_size, "control pipe: descriptor %s: %s", sddl,
                     win32_error_text(GetLastError()));
        sddl[0] = '\0';
        return 0;
    }
    return 1;
}

static void reset(Instance* p) {
    p->state = LISTENING;
    p->pending = p->ending = 0;
    p->deadline = -1;
    p->in_len = 0;
    p->answer.len = p->answer.sent = 0;
    p->answer.walk = -1;
}

int control_listen(const char* path, int, char* err, int err_size) {
    for (Instance& p : pipes)
        p.pipe = INVALID_HANDLE_VALUE;
    if (!make_descriptor(err, err_size)) return 0;
    SECURITY_ATTRIBUTES sa = {sizeof sa, descriptor, FALSE};
    for (int i = 0; i < CONTROL_CLIENTS; ++i) {
        Instance* p = &pipes[i];
        // The first makes the name ours: a pipe of that name already there is someone else's.
        DWORD open = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED |
                     (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
        p->pipe = CreateNamedPipeA(path, open,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT |
                                       PIPE_REJECT_REMOTE_CLIENTS,
                                   CONTROL_CLIENTS, PIPE_BUFFER, PIPE_BUFFER, 0, &sa);
        DWORD why = GetLastError();
        std::memset(&p->ov, 0, sizeof p->ov);
        p->ov.hEvent =
            p->pipe != INVALID_HANDLE_VALUE ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr;
        if (p->pipe != INVALID_HANDLE_VALUE && p->ov.hEvent == nullptr) why = GetLastError();
        if (p->pipe == INVALID_HANDLE_VALUE || p->ov.hEvent == nullptr) {
            // Windows refuses a first instance of a name in use; Wine says all are busy.
            int taken = i == 0 && (why == ERROR_ACCESS_DENIED || why == ERROR_PIPE_BUSY);
            control_fail(err, err_size, "control pipe %s: %s", path,
                         taken ? "another relay is listening on it" : win32_error_text(why));
            listening = 1;
            control_close();
            return 0;
        }
        reset(p);
    }
    listening = 1;
    control_service(-1, 0);
    return 1;
}

void control_close() {
    if (!listening) return;
    for (Instance& p : pipes) {
        if (p.pipe != INVALID_HANDLE_VALUE) {
            if (p.pending) {
                DWORD n = 0;
                CancelIo(p.pipe);
                GetOverlappedResult(p.pipe, &p.ov, &n, TRUE);
            }
            CloseHandle(p.pipe);
            p.pipe = INVALID_HANDLE_VALUE;
        }
        if (p.ov.hEvent != nullptr) CloseHandle(p.ov.hEvent);
        p.ov.hEvent = nullptr;
    }
    if (descriptor != nullptr) LocalFree(descriptor);
    descriptor = nullptr;
    listening = 0;
}

int control_wait_handles(void** out, int room) {
    int n = 0;
    for (const Instance& p : pipes)
        if (listening && p.pending && p.pipe != INVALID_HANDLE_VALUE && n < room)
            out[n++] = p.ov.hEvent;
    return n;
}

long long control_next_wake() {
    long long wake = -1;
    for (const Instance& p : pipes)
        if (p.state != LISTENING && (wake < 0 || p.deadline < wake)) wake = p.deadline;
    return wake;
}

// Starts the instance's call for its state; returns 1 when it is in flight, else 0 with how it
// ended in *done (bytes) and *error (0 for success).
static int begin(Instance* p, DWORD* done, DWORD* error) {
    HANDLE e = p->ov.hEvent;
    std::memset(&p->ov, 0, sizeof p->ov);
    p->ov.hEvent = e;
    BOOL ok = FALSE;
    *done = 0;
    if (p->state == LISTENING) {
        ok = ConnectNamedPipe(p->pipe, &p->ov);
        if (!ok && GetLastError() == ERROR_PIPE_CONNECTED) ok = TRUE;
    } else if (p->state == READING) {
        ok = ReadFile(p->pipe, p->in + p->in_len,
                      static_cast<DWORD>(CONTROL_REQUEST_SIZE + 1 - p->in_len), done, &p->ov);
    } else if (p->state == WRITING) {
        const ControlAnswer* a = &p->answer;
        ok = p->ending ? WriteFile(p->pipe, kEndMark, sizeof kEndMark, done, &p->ov)
                       : WriteFile(p->pipe, a->out + a->sent, static_cast<DWORD>(a->len - a->sent),
                                   done, &p->ov);
    } else {
        static char scratch[64];
        ok = ReadFile(p->pipe, scratch, sizeof scratch, done, &p->ov);
    }
    *error = ok ? 0 : GetLastError();
    if (*error == ERROR_IO_PENDING) {
        p->pending = 1;
        return 1;
    }
    return 0;
}

// What a finished call means for the instance; returns 0 when it is to wait for a new caller.
static int finish(Instance* p, DWORD done, DWORD error, int udp_fd, long long now) {
    if (p->state == LISTENING) {
        if (error != 0) return 0;
        p->state = READING;
        p->deadline = now + CONTROL_IDLE_MS;
        return 1;
    }
    if (p->state == READING) {
        if (error != 0 && error != ERROR_MORE_DATA) return 0;
        p->in_len += static_cast<int>(done);
        p->deadline = now + CONTROL_IDLE_MS;
        // A request is one message; one byte more than a request may have tells a long one.
        if (error == ERROR_MORE_DATA && p->in_len <= CONTROL_REQUEST_SIZE) return 1;
        // Callers are checked by the pipe's descriptor before they get here.
        control_answer(p->in, p->in_len, 1, "", &p->answer, udp_fd, now);
        p->state = WRITING;
        return 1;
    }
    if (p->state == WRITING) {
        if (error != 0) return 0;
        p->deadline = now + CONTROL_IDLE_MS;
        if (p->ending) {
            p->state = CLOSING;
            return 1;
        }
        ControlAnswer* a = &p->answer;
        a->sent += static_cast<int>(done);
        if (a->sent == a->len && !control_answer_more(a, now)) p->ending = 1;
        return 1;
    }
    return 0; // the caller closed its end (or wrote more than it should)
}

static void step(Instance* p, int udp_fd, long long now) {
    DWORD done = 0, error = 0;
    if (p->pending) {
        if (!GetOverlappedResult(p->pipe, &p->ov, &done, FALSE)) {
            error = GetLastError();
            if (error == ERROR_IO_INCOMPLETE) return;
        }
        p->pending = 0;
        if (!finish(p, done, error, udp_fd, now)) {
            DisconnectNamedPipe(p->pipe);
            reset(p);
        }
    }
    // A few calls that end at once, then one in flight; a pipe that keeps failing waits for the
    // next turn.
    for (int tries = 0; tries < 64; ++tries) {
        if (begin(p, &done, &error)) return;
        if (!finish(p, done, error, udp_fd, now)) {
            DisconnectNamedPipe(p->pipe);
            reset(p);
        }
    }
}

void control_service(int udp_fd, long long now) {
    if (!listening) return;
    for (Instance& p : pipes) {
        if (p.pipe == INVALID_HANDLE_VALUE) continue;
        if (p.state != LISTENING && now >= p.deadline) {
            relay_log(LOG_NORMAL, "control connection closed: no progress for %d s",
                      CONTROL_IDLE_MS / 1000);
            if (p.pending) {
                DWORD n = 0;
                CancelIo(p.pipe);
                GetOverlappedResult(p.pipe, &p.ov, &n, TRUE);
            }
            DisconnectNamedPipe(p.pipe);
            reset(&p);
        }
        step(&p, udp_fd, now);
    }
}

// --- metrics ---------------------------------------------------------------------------------

// --- the operator's side ---------------------------------------------------------------------

// Waits at most CONTROL_ANSWER_MS for the overlapped call on h; returns 1 when it succeeded,
// with the bytes in *done and the error (0, or ERROR_MORE_DATA) in *error.
static int wait_call(HANDLE h, OVERLAPPED* ov, BOOL started, DWORD* done, DWORD* error) {
    *error = started ? 0 : GetLastError();
    if (!started && *error != ERROR_IO_PENDING && *error != ERROR_MORE_DATA) return 0;
    if (!started && *error == ERROR_IO_PENDING &&
        WaitForSingleObject(ov->hEvent, CONTROL_ANSWER_MS) != WAIT_OBJECT_0) {
        CancelIo(h);
        GetOverlappedResult(h, ov, done, TRUE);
        *error = WAIT_TIMEOUT;
        return 0;
    }
    *error = 0;
    if (!GetOverlappedResult(h, ov, done, FALSE)) *error = GetLastError();
    return *error == 0 || *error == ERROR_MORE_DATA;
}

// Sends request to the relay on the pipe and reads the whole answer into *reply. Returns -1 when
// it was had, else the exit code, the reason printed.
int control_ask(const char* path, const std::string& request, std::string* reply) {
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int tries = 0; tries < 2 && h == INVALID_HANDLE_VALUE; ++tries) {
        // Identification only: whoever serves the pipe can tell who asks, not act as them.
        h = CreateFileA(path, CALLER_ACCESS, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                        nullptr);
        // Every instance busy: wait a bounded time for one.
        if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY)
            WaitNamedPipeA(path, CONTROL_ANSWER_MS);
    }
    if (h == INVALID_HANDLE_VALUE) {
        DWORD why = GetLastError();
        if (why == ERROR_ACCESS_DENIED) {
            std::fprintf(stderr, "keltup-server: not allowed to control this relay (%s: %s)\n",
                         path, win32_error_text(why));
            return CONTROL_EXIT_REFUSED;
        }
        std::fprintf(stderr, "keltup-server: no relay is listening on %s (%s)\n", path,
                     win32_error_text(why));
        return CONTROL_EXIT_NONE;
    }
    // Nothing is said to a pipe that another account made under the relay's name.
    PipeServer server;
    char me[SID_TEXT_SIZE];
    win32_pipe_server(h, &server);
    win32_own_user(me, sizeof me);
    if (!win32_pipe_server_trusted(&server, me)) {
        CloseHandle(h);
        std::fprintf(stderr,
                     "keltup-server: the pipe %s is not served by the relay: its server (process "
                     "%lu) runs as %s, not as the relay's service, SYSTEM, an administrator or "
                     "you\n",
                     path, server.pid, server.user[0] != '\0' ? server.user : "an unknown account");
        return CONTROL_EXIT_NONE;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(h, &mode, nullptr, nullptr);
    OVERLAPPED ov;
    std::memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD done = 0, error = 0;
    int ok = ov.hEvent != nullptr &&
             wait_call(h, &ov,
                       WriteFile(h, request.data(), static_cast<DWORD>(request.size()), &done, &ov),
                       &done, &error);
    reply->clear();
    size_t message_start = 0; // where the message being read began in *reply
    int ended = 0;
    char buf[4096];
    while (ok && !ended) {
        std::memset(&ov.Offset, 0, sizeof ov.Offset);
        ok = wait_call(h, &ov, ReadFile(h, buf, sizeof buf, &done, &ov), &done, &error);
        if (!ok) break;
        reply->append(buf, done);
        if (error == ERROR_MORE_DATA) continue;
        if (reply->size() - message_start == 1 && (*reply)[message_start] == '\0') {
            reply->resize(message_start);
            ended = 1;
        }
        message_start = reply->size();
    }
    if (ov.hEvent != nullptr) CloseHandle(ov.hEvent);
    CloseHandle(h);
    if (!ended && error == WAIT_TIMEOUT) {
        std::fprintf(stderr, "keltup-server: the relay on %s did not answer\n", path);
        return CONTROL_EXIT_NONE;
    }
    return control_reply_code(path, *reply);
}
