// Shared by the shell tests: a fixture that puts every process-wide value back to its start, a
// few ways to fill the Inbox, and a stand-in server on 127.0.0.1.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "protocol/datagram.h"

// Resets the fakes, the Inbox (freeing its entries), the flags, the guards, the reply-to nick and
// the settings' built-in values; closes the endpoint and the stand-in server.
void reset_everything();

class ShellTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
};

// A received datagram of the given kind, NUL after its bytes, as the poll hands it to the Inbox.
// Returns its length on the wire.
int make_datagram(char* buf, char kind, unsigned id, const char* from, const char* to,
                  const char* body);
// Stores a message in the Inbox as a receive would.
void store_message(const char* from, const char* to, const char* body);

// The stand-in server: a UDP socket on 127.0.0.1 that the client's endpoint is pointed at.
// Opening it also picks a free local port for the client and sets the settings to use both.
void server_open();
int server_port();
int client_port();
// Sends a datagram to the client's port.
void server_send(char kind, unsigned id, const char* from, const char* to, const char* body);
void server_send_raw(const void* data, int len);
// Receives one datagram the client sent; returns its length, -1 when none is waiting.
int server_recv(Datagram* d);
void server_close();

// A folder of this test process's own under the system's temporary folder.
std::filesystem::path test_folder();
// Writes a settings file in that folder and returns its path.
std::string write_settings_file(const char* name, const char* content);
// The file's value of a key in section "settings", "<none>" when missing.
std::string settings_value(const std::string& file, const char* key);
// The fake's log entries joined by newlines, for failure messages.
std::string event_log();

// A settings file for a configured client of the stand-in server (server_open first).
std::string configured_settings(const char* name, int popup_value);
// Chooses "E&xit" from the tray menu.
void exit_from_tray();
