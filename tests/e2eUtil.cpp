// End-to-end helpers that need the process interfaces: the run directory, and spawning
// the server (its output copied past any file-size limit) and waiting for it to exit.
#include "e2eUtil.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>

string makeRunDir() {
    char tmpl[] = "/tmp/quarn-e2e-XXXXXX";
    string dir = mkdtemp(tmpl);
    std::filesystem::create_directory(dir + "/res");
    for (string f : {"/res/Quarn.png", "/res/UbuntuMono-R.ttf"})
        std::filesystem::copy_file(QUARN_SOURCE_DIR + f, dir + f);
    return dir;
}

void serverProc::spawn(const string& runDir, const string& display, long fileLimit) {
    static int n = 0;
    dir = runDir;
    out = dir + "/out" + std::to_string(n++) + ".txt";
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644), fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0 && (tee = fork()) == 0) { // beyond the server's size limit
        dup2(fds[0], 0);
        dup2(fd, 1);
        execlp("cat", "cat", (char*)nullptr);
        _exit(127);
    }
    if ((pid = fork()) == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        signal(SIGXFSZ, SIG_IGN); // a write past the limit fails with EFBIG instead
        rlimit rl = {rlim_t(fileLimit), rlim_t(fileLimit)};
        if (chdir(dir.c_str()) != 0 || (fileLimit >= 0 && setrlimit(RLIMIT_FSIZE, &rl) != 0))
            _exit(126);
        setenv("DISPLAY", display.c_str(), 1);
        std::vector<string> all = {QUARN_SERVER_BIN, "--port", std::to_string(port)};
        if (display.empty()) all.push_back("--headless");
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (string& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(QUARN_SERVER_BIN, argv.data());
        _exit(127);
    }
    close(fd);
    close(fds[0]);
    close(fds[1]);
}

int serverProc::waitExit(int timeoutMs) {
    int status = 0;
    auto gone = [&] { return waitpid(pid, &status, WNOHANG) == pid; };
    bool exited = pid > 0 && waitUntil(gone, timeoutMs);
    if (pid > 0 && !exited && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
    if (tee > 0) waitpid(tee, nullptr, 0); // it ends with the output
    pid = tee = -1;
    return !exited ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
