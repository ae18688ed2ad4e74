// The folder of the save files: made when it is the default and missing, checked to be a
// folder the server can write and nobody else can, and locked (flock on the folder itself;
// the file "lock" holds the process id) for as long as the process runs, so that two
// servers never save over each other.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "save.h"

// The folder itself is locked, not a file in it: a file can be unlinked under a running
// server, a folder cannot be taken away from it that way. The file "lock" only tells a
// second server which process holds it.
int prepareSaveFolder(std::string* why) {
    std::string dir = resPath("");
    dir.pop_back(); // the path of the folder itself, without its last '/'
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 && errno == ENOENT && !options.resGiven)
        mkdir(dir.c_str(), 0755);
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *why = "save folder " + dir + " is not a folder" +
               (errno == ENOENT ? " (it does not exist)" : "");
        return 0;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        *why = "save folder " + dir + " may be written by others than its owner (mode " + mode +
               "): they could put links there for the server to follow; make it its owner's "
               "alone (chmod go-w " +
               dir + ")";
        return 0;
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
        *why = "save folder " + dir + " cannot be written: " + strerror(errno);
        return 0;
    }
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *why = "save folder " + dir + " cannot be opened: " + strerror(errno);
        return 0;
    }
    std::string path = resPath("lock");
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char pid[32] = "";
        int pidFd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        ssize_t n = pidFd >= 0 ? pread(pidFd, pid, sizeof pid - 1, 0) : 0;
        if (pidFd >= 0) close(pidFd);
        pid[n > 0 ? n : 0] = 0;
        pid[strcspn(pid, "\n")] = 0;
        *why = "save folder " + dir + " is in use by process " + (*pid ? pid : "(unknown)");
        close(fd);
        return 0;
    }
    std::string me = std::to_string(getpid()) + "\n";
    unlink(path.c_str()); // ours now: a file of that name (or a planted link) goes
    int pidFd = createNewFile(path.c_str(), 0600);
    if (pidFd < 0 || write(pidFd, me.data(), me.size()) != ssize_t(me.size())) {
        *why = "save folder " + dir + " cannot be written: " + strerror(errno);
        if (pidFd >= 0) close(pidFd);
        close(fd);
        return 0;
    }
    close(pidFd);
    if (saves.lockFd >= 0) close(saves.lockFd);
    saves.lockFd = fd; // held, and the lock with it, until the process ends
    return 1;
}

// Installed programs live in <prefix>/bin and their files in <prefix>/share/quarn.
static std::string installedFile(const char* name) {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return "";
    std::string bin(exe, size_t(n));
    bin = bin.substr(0, bin.find_last_of('/'));
    return bin.substr(0, bin.find_last_of('/')) + "/share/quarn/" + name;
}

std::string windowFile(const char* name) {
    for (std::string path : {resPath(name), installedFile(name)})
        if (!path.empty() && access(path.c_str(), R_OK) == 0) return path;
    return "";
}
