// Who may touch what the relay keeps on Windows: the service's own SID, the access lists of its
// data folder (%ProgramData%\KelTup) and users file, and whether the process serving a control
// pipe is the relay's own identity.
#pragma once

enum { SID_TEXT_SIZE = 200, SDDL_SIZE = 600 };

// The SID Windows gives the service called name, NT SERVICE\name: S-1-5-80- and the SHA-1 of the
// name in capitals (UTF-16) as five numbers. It is known before the service exists. 0 when the
// hash cannot be made.
int win32_service_sid(const char* name, char* out, int size);

// The lists, in SDDL, protected from inheritance. The folder: SYSTEM and the Administrators in
// full, the service's SID able to modify (inherited by the files made in it), the Users able to
// list it only. The users file: SYSTEM and the Administrators in full, the service and the Users
// able to read it. Files made in the folder (the state, metrics) get no entry for the Users.
int win32_data_folder_sddl(char* out, int size);
int win32_users_file_sddl(char* out, int size);

// Makes folder (its parent must be there) with the data folder's list; one that is there is left
// as it is. 0 with the reason in err.
int win32_make_data_folder(const char* folder, char* err, int err_size);

// The installer's step, also taken by --install-service: folder made or given its list and the
// Administrators as its owner; every file or folder in it that is not owned by SYSTEM, the
// Administrators, LocalService, the service or the account running this is set aside as
// untrusted-NAME, and a link there is a failure (never followed or moved); then,
// with example, a users file copied from it where there is none; the users file given its list.
// What it did is printed; returns 0, or 1 with the reason printed.
int win32_prepare_data_folder(const char* folder, const char* example);

// What is known of the process serving a control pipe.
struct PipeServer {
    unsigned long pid;        // 0: unknown
    int is_service;           // the service control manager runs the relay's service in it
    char user[SID_TEXT_SIZE]; // its token's user; "" when its token could not be read
    int has_service_sid;      // its token holds the relay service's SID
    int admin;                // its token holds the Administrators group, enabled
};

// Finds out who serves the pipe that h is the operator's end of.
void win32_pipe_server(void* h, PipeServer* out);
// Whether that server is the relay's own identity as the operator (whose token's user is
// caller_user) may trust it: the relay's service; a process holding the service's SID; one
// running as the operator, as SYSTEM or as an elevated administrator.
int win32_pipe_server_trusted(const PipeServer* s, const char* caller_user);
// This process's token user as SID text; "" when it cannot be read.
void win32_own_user(char* out, int size);
