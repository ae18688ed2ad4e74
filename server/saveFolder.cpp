// The folder of the save files: made when it is the default and missing, checked to be a
// folder the server can write, and locked (flock on a file "lock" holding the process id)
// for as long as the process runs, so that two servers never save over each other.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "veskServer.h"

static int lockFd = -1;

int prepareSaveFolder(int givenByOption, std::string* why) {
    std::string dir = resPath("");
    dir.pop_back(); // the path of the folder itself, without its last '/'
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 && errno == ENOENT && !givenByOption) mkdir(dir.c_str(), 0755);
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *why = "save folder " + dir + " is not a folder" +
               (errno == ENOENT ? " (it does not exist)" : "");
        return 0;
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
        *why = "save folder " + dir + " cannot be written: " + strerror(errno);
        return 0;
    }
    std::string path = resPath("lock");
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *why = "save folder " + dir + " cannot be written: " + strerror(errno);
        return 0;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char pid[32] = "";
        ssize_t n = pread(fd, pid, sizeof pid - 1, 0);
        pid[n > 0 ? n : 0] = 0;
        pid[strcspn(pid, "\n")] = 0;
        *why = "save folder " + dir + " is in use by process " + (*pid ? pid : "(unknown)");
        close(fd);
        return 0;
    }
    std::string me = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, me.data(), me.size(), 0) != ssize_t(me.size())) {
        *why = "save folder " + dir + " cannot be written: " + strerror(errno);
        close(fd);
        return 0;
    }
    if (lockFd >= 0) close(lockFd);
    lockFd = fd; // held, and the lock with it, until the process ends
    return 1;
}

void removeStaleTemporaryFiles() {
    for (const char* name : {"profiles", "world", "entities", "logins", "bans", "allow"})
        for (const char* ending : {".tmp", ".old"}) {
            std::string path = resPath(name) + ending;
            struct stat st;
            // Only files: anything else there is not ours to remove.
            if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            if (unlink(path.c_str()) == 0)
                textBoxAddf(tb, "Server: removed %s, left by a save that did not finish",
                            path.c_str());
        }
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
