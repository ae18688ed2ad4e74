// End-to-end helpers that need the process interfaces: the run directory, spawning the
// server with its output in a file and waiting for it to exit, and the game client's session.
#include "e2eUtil.h"

#include <sys/wait.h>

string makeRunDir() {
    char tmpl[] = "/tmp/quarn-e2e-XXXXXX";
    string dir = mkdtemp(tmpl);
    std::filesystem::create_directory(dir + "/res");
    std::filesystem::copy_file(QUARN_SOURCE_DIR "/res/Quarn.png", dir + "/res/Quarn.png");
    std::filesystem::copy_file(windowFont(), dir + "/res/UbuntuMono-R.ttf");
    return dir;
}

// Through a shell that becomes the server: `pid` is the server's.
void serverProc::spawn(const string& runDir) {
    static int n = 0;
    if (!keepOut) out = runDir + "/out" + std::to_string(n++) + ".txt";
    string mode = display.empty() ? " --headless" : "";
    string command = "cd " + runDir + " && " + environment + " DISPLAY=" + display + " exec " +
                     QUARN_SERVER_BIN + " --port " + std::to_string(port) + mode;
    for (const string& a : args)
        command += " " + a;
    command += " <" + input + " >" + out + " 2>&1";
    if ((pid = fork()) == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
        _exit(127);
    }
}

int serverProc::waitExit(int timeoutMs) {
    int status = 0;
    auto gone = [&] { return waitpid(pid, &status, WNOHANG) == pid; };
    bool exited = pid > 0 && waitUntil(gone, timeoutMs);
    if (pid > 0 && !exited && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
    pid = -1;
    return !exited ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int runControl(const string& resDir, const string& command, string* printed, const string& input) {
    int fds[2], in[2];
    if (pipe(fds) != 0) return -1;
    if (pipe(in) != 0) return -1;
    (void)!write(in[1], input.data(), input.size()); // a line or two: the pipe holds them
    close(in[1]);
    pid_t child = fork();
    if (child == 0) {
        dup2(in[0], 0);
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(in[0]);
        close(fds[0]);
        close(fds[1]);
        execl(QUARN_SERVER_BIN, QUARN_SERVER_BIN, "--res", resDir.c_str(), "--control",
              command.c_str(), nullptr);
        _exit(127);
    }
    close(fds[1]);
    close(in[0]);
    printed->clear();
    char data[4096];
    for (ssize_t n; (n = read(fds[0], data, sizeof data)) > 0;)
        printed->append(data, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

httpAnswer httpAsk(int port, const string& request) {
    httpAnswer a;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to = {AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
    timeval limit = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return a;
    }
    string head = request.starts_with("/") ? "GET " + request + " HTTP/1.0\r\n\r\n" : request;
    (void)!send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    string all;
    char data[65536];
    for (ssize_t n; (n = recv(fd, data, sizeof data, 0)) > 0;)
        all.append(data, size_t(n));
    close(fd);
    size_t end = all.find("\r\n\r\n");
    if (end == string::npos || sscanf(all.c_str(), "HTTP/1.%*d %d", &a.status) != 1) return a;
    a.head = all.substr(0, end);
    a.body = all.substr(end + 4);
    return a;
}

static int64_t clientClockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void udpClient::sendUnsent() {
    for (int i = 0; i < unsent.count; i++)
        send(bytes(unsent.data[i], unsent.data[i] + unsent.len[i]));
    unsent.count = 0;
}

bool udpClient::drive(int goal, int stop, int timeoutMs) {
    for (auto t0 = std::chrono::steady_clock::now(); msSince(t0) < timeoutMs;) {
        sendUnsent();
        bytes d = recv(20);
        int64_t now = clientClockMs();
        int event = d.empty() ? clientTick(&session, now, &unsent)
                              : clientReceive(&session, d.data(), d.size(), now, &unsent, nullptr);
        if (event == evLoggedIn) {
            memcpy(key, session.login.key, keyLen);
            entity = session.login.entity;
        }
        if (event == goal) return true;
        if (event == stop || session.stage == csEnded) return false;
    }
    return false;
}

bool udpClient::login(const string& name, const string& pass, int radius) {
    clientDrain(this, 0);
    clientBegin(&session, name, pass, radius, 0, clientClockMs(), &unsent);
    session.timing.retryMs = 500;
    session.timing.maxTries = 10;
    return drive(evLoggedIn, evLoginRefused, 6000);
}

bool udpClient::handshake(int timeoutMs) {
    bool in = drive(evInGame, -1, timeoutMs);
    sendUnsent(); // the end mark's acknowledgement: in the game at the server's next tick
    usleep(60 * 1000);
    return in;
}

bool udpClient::join(const string& name, const string& pass) {
    clientDrain(this, 0);
    clientBegin(&session, name, pass, 3, 1, clientClockMs(), &unsent);
    session.timing.retryMs = 300;
    session.timing.maxTries = 200;
    return drive(evLoggedIn, -1, 60000) && handshake(120000);
}
