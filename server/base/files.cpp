// How the save folder's files are made and synced: never following a link, never taking
// over a name, with their modes; a rename's folder synced after it; whole files read back.
// Used by the saves and by the access lists alike.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files.h"

int createNewFile(const char* path, mode_t mode) {
    // A name in the save folder is never followed elsewhere, and never taken over.
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0 && mode == privateMode && fchmod(fd, mode) != 0) {
        int err = errno;
        close(fd);
        unlink(path);
        errno = err;
        return -1;
    }
    return fd;
}

FILE* createFile(const char* path, mode_t mode) {
    // unlink removes a link itself, never what it points at.
    if (unlink(path) != 0 && errno != ENOENT) return nullptr;
    int fd = createNewFile(path, mode);
    if (fd < 0) return nullptr;
    FILE* f = fdopen(fd, "wb");
    if (!f) close(fd);
    return f;
}

void syncFolderOf(const std::string& path) {
    // Or a power loss could bring the previous file back.
    std::string dir = path.substr(0, path.find_last_of('/') + 1);
    int fd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

int readWholeFile(const char* path, std::vector<unsigned char>* out) {
    FILE* f = fopen(path, "rb");
    if (!f) return 0;
    unsigned char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        out->insert(out->end(), chunk, chunk + n);
    int ok = !ferror(f);
    fclose(f);
    return ok;
}
