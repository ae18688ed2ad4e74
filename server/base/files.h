// Files made safely: created afresh without following a link or taking over a name, with
// modes that keep secrets to the server's own user; renames synced in their folder; whole
// files read back. The saves and the access lists write through these.
#pragma once

#include <cstdio>
#include <string>
#include <sys/types.h>
#include <vector>

// Accounts hold password hashes, and logins where players come from: only the server's own
// user may read them, whatever the umask. The world and the entities are written with the
// umask's leave (0644 under the usual 022; 0600 under a hardened service's 0077).
constexpr mode_t privateMode = 0600;
constexpr mode_t publicMode = 0644;
// Creates a file that is not there yet, never following a link, with `mode` (0600 exactly,
// or other bits as the umask leaves them): its descriptor, or -1 with errno.
int createNewFile(const char* path, mode_t mode);
// A file made afresh under a name in the save folder: whatever had the name (left by a
// crash, or planted) goes first; null with errno when it cannot be made.
FILE* createFile(const char* path, mode_t mode);
// A rename lives in its folder: the folder is synced too.
void syncFolderOf(const std::string& path);
// The whole file; 0 when it cannot be read, with errno telling why.
int readWholeFile(const char* path, std::vector<unsigned char>* out);
