#include "tests/shell/support.h"

#include <cstdio>
#include <cstring>
#include <filesystem>

#ifdef _WIN32
#include <process.h>
#include <winsock.h>
typedef SOCKET PeerSocket;
static const PeerSocket NO_PEER = INVALID_SOCKET;
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
typedef int PeerSocket;
static const PeerSocket NO_PEER = -1;
#endif

#include "dialogs/dialogs.h"
#include "inbox/inbox.h"
#include "inbox/viewer.h"
#include "platform/fake/fake_dialogs.h"
#include "protocol/busy.h"
#include "resources/resources.h"
#include "platform/fake/fake_ui.h"
#include "protocol/endpoint.h"
#include "settings/profile.h"
#include "settings/settings.h"
#include "settings/settings_dialog.h"
#include "shell/network.h"
#include "shell/shell.h"

static PeerSocket peer = NO_PEER;
static int peer_port_number;
static int client_port_number;

void reset_everything() {
    fake_ui_reset();
    fake_dialogs_reset();
    ui_set_main_events(&shell_main_events);
    network_listen();
    busy_flag = 0;
    while (inbox.head) {
        InboxEntry* e = inbox.head;
        inbox.head = e->next;
        free(e->record);
        free(e);
    }
    inbox.current = nullptr;
    pending_arrivals = 0;
    guard_viewer = guard_compose = guard_settings = guard_about = 0;
    memset(reply_to_nick, 0, sizeof reply_to_nick);
    snprintf(servername, sizeof servername, "%s", "0.0.0.0");
    snprintf(nick, sizeof nick, "%s", "mrnobody");
    localport = SETTINGS_DEFAULT_LOCALPORT;
    remoteport = 99;
    popup = 1;
    main_window = FAKE_MAIN_WINDOW;
    endpoint_cleanup();
    server_close();
}

void ShellTest::SetUp() {
    reset_everything();
}

void ShellTest::TearDown() {
    std::string errors;
    for (const std::string& e : fake_errors)
        errors += e + "\n";
    EXPECT_TRUE(fake_errors.empty()) << errors << "log:\n" << event_log();
    EXPECT_EQ(fake_scripts_left(), 0) << "a dialog the test expected never opened\n" << event_log();
    reset_everything();
}

int make_datagram(char* buf, char kind, unsigned id, const char* from, const char* to,
                  const char* body) {
    memset(buf, 0, RECORD_SIZE + 1);
    memcpy(buf, "KT1", 3);
    buf[3] = kind;
    buf[4] = static_cast<char>(id & 0xFF);
    buf[5] = static_cast<char>((id >> 8) & 0xFF);
    snprintf(buf + 6, NICK_SIZE, "%s", from);
    snprintf(buf + 26, NICK_SIZE, "%s", to);
    snprintf(buf + HEADER_SIZE, BODY_SIZE, "%s", body);
    return HEADER_SIZE + static_cast<int>(strlen(buf + HEADER_SIZE)) + 1;
}

void store_message(const char* from, const char* to, const char* body) {
    char buf[RECORD_SIZE + 1];
    make_datagram(buf, 'M', 1, from, to, body);
    ASSERT_GT(network_store(buf), 0);
}

static PeerSocket open_bound(int port, int* bound) {
#ifdef _WIN32
    static int started;
    if (!started) {
        WSADATA data;
        if (WSAStartup(MAKEWORD(1, 1), &data) != 0) return NO_PEER;
        started = 1;
    }
#endif
    PeerSocket s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == NO_PEER) return NO_PEER;
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr("127.0.0.1");
    a.sin_port = htons(static_cast<unsigned short>(port));
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
#ifdef _WIN32
        closesocket(s);
#else
        close(s);
#endif
        return NO_PEER;
    }
#ifdef _WIN32
    int len = sizeof a;
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
#else
    socklen_t len = sizeof a;
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
#endif
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    *bound = ntohs(a.sin_port);
    return s;
}

static void close_peer(PeerSocket s) {
#ifdef _WIN32
    closesocket(s);
#else
    close(s);
#endif
}

void server_open() {
    server_close();
    // A port for the client: taken from the system, then let go for the endpoint to bind.
    int port = 0;
    PeerSocket probe = open_bound(0, &port);
    ASSERT_NE(probe, NO_PEER);
    close_peer(probe);
    client_port_number = port;
    peer = open_bound(0, &peer_port_number);
    ASSERT_NE(peer, NO_PEER);
    snprintf(servername, sizeof servername, "%s", "127.0.0.1");
    remoteport = peer_port_number;
    localport = client_port_number;
}

int server_port() {
    return peer_port_number;
}

int client_port() {
    return client_port_number;
}

void server_send_raw(const void* data, int len) {
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr("127.0.0.1");
    a.sin_port = htons(static_cast<unsigned short>(client_port_number));
    int n = static_cast<int>(sendto(peer, static_cast<const char*>(data), len, 0,
                                    reinterpret_cast<sockaddr*>(&a), sizeof a));
    ASSERT_EQ(n, len);
}

void server_send(char kind, unsigned id, const char* from, const char* to, const char* body) {
    char buf[RECORD_SIZE + 1];
    int len = make_datagram(buf, kind, id, from, to, body);
    server_send_raw(buf, len);
}

int server_recv(Datagram* d) {
    char buf[4096];
    int n = static_cast<int>(recv(peer, buf, sizeof buf, 0));
    if (n < 0) return -1;
    memset(d, 0, sizeof *d);
    memcpy(d, buf, static_cast<size_t>(n) < sizeof *d ? static_cast<size_t>(n) : sizeof *d);
    return n;
}

void server_close() {
    if (peer != NO_PEER) close_peer(peer);
    peer = NO_PEER;
}

std::filesystem::path test_folder() {
    static std::filesystem::path dir;
    if (dir.empty()) {
#ifdef _WIN32
        long pid = static_cast<long>(_getpid());
#else
        long pid = static_cast<long>(getpid());
#endif
        // One folder per process: test cases may run as processes of their own, in parallel.
        dir = std::filesystem::temp_directory_path() / ("keltup-shell-" + std::to_string(pid));
        std::filesystem::create_directories(dir);
        atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        });
    }
    return dir;
}

std::string write_settings_file(const char* name, const char* content) {
    std::filesystem::path p = test_folder() / name;
    FILE* f = fopen(p.string().c_str(), "wb");
    EXPECT_NE(f, nullptr) << p.string();
    if (f) {
        fputs(content, f);
        fclose(f);
    }
    return p.string();
}

std::string settings_value(const std::string& file, const char* key) {
    char buf[600];
    profile_get_string("settings", key, "<none>", buf, sizeof buf, file.c_str());
    return buf;
}

std::string event_log() {
    std::string out;
    for (const std::string& e : fake_events)
        out += "  " + e + "\n";
    return out;
}

std::string configured_settings(const char* name, int popup_value) {
    char content[256];
    snprintf(content, sizeof content,
             "[settings]\nservername=127.0.0.1\nnick=ME\nlocalport=%d\nremoteport=%d\npopup=%d\n",
             client_port_number, peer_port_number, popup_value);
    return write_settings_file(name, content);
}

void exit_from_tray() {
    fake_menu_commands.push_back(CMD_EXIT);
    fake_tray(UI_TRAY_RBUTTONUP);
}
