// Backups in the save folder: once a save has committed, its files (accounts, logins,
// entities, world) are put into backups/<UTC time>/, as hard links where the file system
// allows (a save replaces files by renaming new ones in, so a link keeps its moment), else
// as copies; the oldest beyond --keep-backups go.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "save.h"

namespace {

constexpr const char* backupFiles[] = {"profiles", "logins", "entities", "world"};
constexpr size_t stampLen = 18; // 2026-12-07T165000Z

// A folder of ours, not a link to one elsewhere: made (owner only) when missing.
int ownFolder(const std::string& path, std::string* why) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        *why = path + ": " + strerror(errno);
        return 0;
    }
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *why = path + ": not a folder";
        return 0;
    }
    return 1;
}

// The backup's folder, named by the time now (UTC), with -2, -3... after a name taken.
int newBackupFolder(std::string* name, std::string* why) {
    time_t now = time(nullptr);
    tm utc;
    gmtime_r(&now, &utc);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H%M%SZ", &utc);
    for (int n = 1; n < 100; n++) {
        *name = n == 1 ? std::string(stamp) : std::string(stamp) + "-" + std::to_string(n);
        std::string path = resPath("backups/") + *name;
        if (mkdir(path.c_str(), 0700) == 0) return 1;
        if (errno != EEXIST) {
            *why = path + ": " + strerror(errno);
            return 0;
        }
    }
    *why = "too many backups in one second";
    return 0;
}

// A copy where a hard link cannot be made.
int copyFile(const std::string& from, const std::string& to) {
    std::vector<unsigned char> bytes;
    if (!readWholeFile(from.c_str(), &bytes)) return 0;
    int fd = createNewFile(to.c_str(), privateMode);
    if (fd < 0) return 0;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += size_t(n);
    }
    int ok = done == bytes.size() && fsync(fd) == 0;
    close(fd);
    if (!ok) unlink(to.c_str());
    return ok;
}

// Backups are named by their time: the oldest sort first (those of one second by number).
int isBackupName(const std::string& name) {
    if (name.size() < stampLen || name[10] != 'T' || name[stampLen - 1] != 'Z') return 0;
    for (size_t i = 0; i < name.size(); i++) {
        char c = name[i];
        int digit = c >= '0' && c <= '9';
        if (i >= stampLen ? !(digit || (i == stampLen && c == '-'))
                          : !(digit || i == 4 || i == 7 || i == 10 || i == stampLen - 1))
            return 0;
    }
    return 1;
}

int olderBackup(const std::string& a, const std::string& b) {
    std::string stampA = a.substr(0, stampLen), stampB = b.substr(0, stampLen);
    if (stampA != stampB) return stampA < stampB;
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// Removes the oldest backups beyond the number kept: their files, then their folder (a
// folder holding anything else is left, and said).
void pruneBackups() {
    std::string root = resPath("backups");
    DIR* dir = opendir(root.c_str());
    if (!dir) return;
    std::vector<std::string> names;
    while (dirent* e = readdir(dir))
        if (isBackupName(e->d_name)) names.push_back(e->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end(), olderBackup);
    size_t excess =
        names.size() > size_t(options.keepBackups) ? names.size() - size_t(options.keepBackups) : 0;
    for (size_t i = 0; i < excess; i++) {
        std::string folder = root + "/" + names[i];
        for (const char* file : backupFiles)
            unlink((folder + "/" + file).c_str());
        if (rmdir(folder.c_str()) == 0)
            textBoxAddf(logging.box, "Backup: backups/%s removed (more than %d kept)",
                        names[i].c_str(), options.keepBackups);
        else
            textBoxAddf(logging.box, "Backup: backups/%s not removed: %s", names[i].c_str(),
                        strerror(errno));
    }
}

} // namespace

void requestBackup(saveDone done, void* context) {
    saves.waitingForNext.push_back(saveWaiter{done, context, 1});
}

int makeBackup(std::string* said) {
    std::string name, why;
    if (!ownFolder(resPath("backups"), &why) || !newBackupFolder(&name, &why)) {
        *said = why;
        return 0;
    }
    std::string folder = resPath("backups/") + name;
    int linked = 0, copied = 0;
    for (const char* file : backupFiles) {
        std::string from = resPath(file), to = folder + "/" + file;
        if (access(from.c_str(), F_OK) != 0) continue; // a folder saved before it had logins
        if (link(from.c_str(), to.c_str()) == 0) {
            linked++;
        } else if (copyFile(from, to)) {
            copied++;
        } else {
            *said = to + ": " + strerror(errno);
            return 0;
        }
    }
    syncFolderOf(folder + "/");
    syncFolderOf(folder);
    *said = "backups/" + name + " (" + std::to_string(linked + copied) + " files, " +
            (copied ? "copied" : "linked") + ")";
    textBoxAddf(logging.box, "Backup: %s", said->c_str());
    pruneBackups();
    return 1;
}
