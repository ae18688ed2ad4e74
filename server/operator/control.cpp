// The operator's channels for commands: a Unix domain socket "control.sock" in the save
// folder (mode 0600, so only the server's user can use it) and, in headless mode, standard
// input. Served from the event step without ever blocking a tick: non-blocking accept,
// reads and writes, one command of at most 1 KB per connection, a few connections at a
// time, each for a few seconds. An answer over the socket ends with a line "ok" or
// "failed"; `quarn-server --control COMMAND` prints it and exits 0 or 1.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <linux/sockios.h>
#include <sodium.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "operator.h"

operatorState operatorSide;

namespace {

constexpr int maxClients = 8;
constexpr int takeLimitMs = 5000;     // for a server to read a command sent to it
constexpr int answerLimitMs = 600000; // for its answer, once it has
constexpr uint32_t clientMs = 10000;  // to send a command, or to take its answer
constexpr size_t maxAnswer = 8 << 20;

void closeClient(controlClient* c) {
    forgetSaveWaiter(c);
    forgetAccessWaiter(c);
    eventUnwatch(c->fd);
    close(c->fd);
    std::erase(operatorSide.clients, c);
    delete c;
}

// Writes what it can; the connection ends once the answer is out.
void flush(controlClient* c) {
    while (c->sent < c->out.size()) {
        ssize_t n = send(c->fd, c->out.data() + c->sent, c->out.size() - c->sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            eventSetEvents(c->fd, short(POLLOUT | (c->discarding ? POLLIN : 0)));
            return;
        }
        if (n <= 0) return closeClient(c);
        c->sent += size_t(n);
    }
    if (c->discarding) {
        shutdown(c->fd, SHUT_WR); // the answer is out; what still comes is read and dropped
        eventSetEvents(c->fd, POLLIN);
        return;
    }
    closeClient(c);
}

void answer(controlClient* c, const std::string& text, int failed) {
    c->ran = 1;
    c->waiting = 0;
    c->since = getTicks(); // from now on, the time to take the answer
    c->out = text.substr(0, maxAnswer) + (failed ? "failed\n" : "ok\n");
    c->sent = 0;
    flush(c);
}

void saveAnswered(void* context, int saved, const char* text) {
    answer(static_cast<controlClient*>(context), std::string(text) + "\n", !saved);
}

void run(controlClient* c, const char* line) {
    commandAnswer a;
    c->ran = 1;
    runCommand(line, &a, saveAnswered, c);
    if (!a.waiting) return answer(c, a.text, a.failed);
    // Nothing to read while the answer waits: only the client's going is noticed.
    c->waiting = 1;
    eventSetEvents(c->fd, 0);
}

void readCommand(controlClient* c) {
    char scrap[65536];
    for (;;) {
        char* into = c->discarding ? scrap : c->in + c->inLen;
        size_t room = c->discarding ? sizeof scrap : sizeof c->in - size_t(c->inLen);
        ssize_t n = room > 0 ? recv(c->fd, into, room, 0) : 0;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (c->discarding || c->ran) {
            if (n <= 0) closeClient(c);
            if (n <= 0 || c->discarding) return;
            continue; // one command a connection: more is ignored
        }
        if (n < 0) return closeClient(c);
        c->inLen += int(n);
        char* newline = static_cast<char*>(memchr(c->in, '\n', size_t(c->inLen)));
        if (!newline && n > 0 && c->inLen < int(sizeof c->in)) continue;
        if (!newline && c->inLen == 0) return closeClient(c); // gone without a word
        int cutOff = !newline && c->inLen == int(sizeof c->in);
        std::string line(c->in, newline ? size_t(newline - c->in) : size_t(c->inLen));
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (const char* why = commandLineProblem(line, cutOff); *why) {
            c->discarding = cutOff;
            answer(c, std::string("error: ") + why + "\n", 1);
            return;
        }
        return run(c, line.c_str());
    }
}

void onClient(int, short revents, void* context) {
    controlClient* c = static_cast<controlClient*>(context);
    if (revents & POLLOUT) {
        flush(c);
        if (std::find(operatorSide.clients.begin(), operatorSide.clients.end(), c) ==
            operatorSide.clients.end())
            return;
    }
    if (revents & (POLLIN | POLLHUP | POLLERR)) readCommand(c);
}

void onListen(int, short, void*) {
    for (;;) {
        int fd = accept4(operatorSide.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (operatorSide.clients.size() >= size_t(maxClients)) {
            static const char busy[] = "error: too many connections\nfailed\n";
            (void)!send(fd, busy, sizeof busy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            close(fd);
            continue;
        }
        controlClient* c = new controlClient{fd, {}, 0, 0, 0, 0, {}, 0, getTicks()};
        operatorSide.clients.push_back(c);
        eventWatch(fd, POLLIN, onClient, c);
    }
}

// --- the console on standard input -------------------------------------------------

void consoleSaveAnswered(void*, int, const char* text) {
    std::string line = std::string(text) + "\n";
    outputText(line.data(), line.size());
    flushOutput();
}

void onConsole(int fd, short, void*) {
    char data[4096];
    ssize_t n = read(fd, data, sizeof data);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) { // the end of the input: the server goes on without a console
        eventUnwatch(fd);
        return;
    }
    for (ssize_t i = 0; i < n; i++) {
        if (data[i] != '\n') {
            if (operatorSide.consoleLine.size() < size_t(commandLineMax))
                operatorSide.consoleLine += data[i];
            operatorSide.consoleOverlong |=
                operatorSide.consoleLine.size() >= size_t(commandLineMax);
            continue;
        }
        if (!operatorSide.consoleLine.empty() && operatorSide.consoleLine.back() == '\r')
            operatorSide.consoleLine.pop_back();
        commandAnswer a;
        if (const char* why =
                commandLineProblem(operatorSide.consoleLine, operatorSide.consoleOverlong);
            *why)
            a.text = std::string("error: ") + why + "\n";
        else if (!operatorSide.consoleLine.empty())
            runCommand(operatorSide.consoleLine.c_str(), &a, consoleSaveAnswered, nullptr);
        outputText(a.text.data(), a.text.size());
        flushOutput();
        operatorSide.consoleLine.clear();
        operatorSide.consoleOverlong = 0;
    }
}

} // namespace

const char* commandLineProblem(const std::string& line, int cutOff) {
    if (cutOff || line.size() >= size_t(commandLineMax)) return "a command has at most 1024 bytes";
    if (line.find('\0') != std::string::npos) return "a command has no 0 byte";
    return "";
}

int openControl() {
    operatorSide.socketPath = resPath("control.sock");
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (operatorSide.socketPath.size() >= sizeof addr.sun_path) {
        textBoxAddf(logging.box, "Control: the path %s is too long for a socket",
                    operatorSide.socketPath.c_str());
        return 0;
    }
    memcpy(addr.sun_path, operatorSide.socketPath.c_str(), operatorSide.socketPath.size() + 1);
    // The folder is locked by this process: a socket file there is a crashed server's.
    unlink(operatorSide.socketPath.c_str());
    operatorSide.listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    mode_t old = umask(0177); // never a moment in which others could connect
    int bound = operatorSide.listenFd >= 0 &&
                bind(operatorSide.listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    umask(old);
    if (!bound || chmod(operatorSide.socketPath.c_str(), 0600) != 0 ||
        listen(operatorSide.listenFd, 16) != 0) {
        textBoxAddf(logging.box, "Control: cannot listen on %s: %s",
                    operatorSide.socketPath.c_str(), strerror(errno));
        if (operatorSide.listenFd >= 0) close(operatorSide.listenFd);
        operatorSide.listenFd = -1;
        return 0;
    }
    eventWatch(operatorSide.listenFd, POLLIN, onListen, nullptr);
    return 1;
}

void closeControl() {
    while (!operatorSide.clients.empty())
        closeClient(operatorSide.clients.back());
    if (operatorSide.listenFd < 0) return;
    eventUnwatch(operatorSide.listenFd);
    close(operatorSide.listenFd);
    operatorSide.listenFd = -1;
    unlink(operatorSide.socketPath.c_str());
}

void watchConsole() {
    if (fcntl(STDIN_FILENO, F_GETFD) < 0) return; // closed
    eventWatch(STDIN_FILENO, POLLIN, onConsole, nullptr);
}

void serveControl(uint32_t now) {
    for (controlClient* c : std::vector<controlClient*>(operatorSide.clients)) {
        if (c->waiting || now - c->since < clientMs) continue;
        if (c->ran) {
            closeClient(c); // its answer did not go out in time, or it kept sending
        } else {
            c->discarding = 1;
            answer(c, "error: no command within 10 seconds\n", 1);
        }
    }
}

// A new password is never given on the command line, where every user of the machine can
// read it: it is read from standard input, without echo on a terminal.
static int passwordFromInput(const char* command, std::string* line) {
    std::string args = command + strlen("password");
    size_t start = args.find_first_not_of(' ');
    if (start == std::string::npos) {
        fprintf(stderr, "quarn-server: password takes NAME; the new password is read from "
                        "standard input\n");
        return 0;
    }
    std::string name = args.substr(start);
    if (name.find(' ') != std::string::npos) {
        fprintf(stderr, "quarn-server: give the new password on standard input, not on the "
                        "command line (every user of the machine can read that)\n");
        return 0;
    }
    int terminal = isatty(STDIN_FILENO);
    termios saved;
    if (terminal) {
        fprintf(stderr, "New password for %s: ", name.c_str());
        tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= tcflag_t(~ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string password;
    char c;
    while (read(STDIN_FILENO, &c, 1) == 1 && c != '\n')
        if (password.size() < size_t(commandLineMax)) password += c;
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        fprintf(stderr, "\n");
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (password.empty()) {
        fprintf(stderr, "quarn-server: no new password on standard input\n");
        return 0;
    }
    *line = "password " + name + " " + password;
    return 1;
}

// Whether the server has read what was sent: the bytes it has not read yet still count
// against the sender's socket.
static int commandTaken(int fd) {
    int unread = 0;
    return ioctl(fd, SIOCOUTQ, &unread) == 0 && unread == 0;
}

int runControlClient(const char* command) {
    std::string path = resPath("control.sock");
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::string given = command;
    if ((given == "password" || given.starts_with("password ")) &&
        !passwordFromInput(command, &given))
        return 1;
    if (given.size() >= size_t(commandLineMax) || given.find('\n') != std::string::npos) {
        fprintf(stderr, "quarn-server: a command is one line of fewer than 1024 bytes\n");
        return 1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int connected = 0;
    if (path.size() < sizeof addr.sun_path) {
        memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        connected = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    } else {
        errno = ENAMETOOLONG;
    }
    if (!connected) {
        fprintf(stderr, "quarn-server: no server listens on %s (%s)\n", path.c_str(),
                strerror(errno));
        close(fd);
        return 1;
    }
    std::string line = given + "\n";
    (void)!send(fd, line.data(), line.size(), MSG_NOSIGNAL);
    sodium_memzero(line.data(), line.size());
    sodium_memzero(given.data(), given.size());
    shutdown(fd, SHUT_WR);
    // A server reads a command within a tick. Once it has, its answer may take as long as
    // its work does (a save of the largest world takes seconds); until then, a socket that
    // nobody serves is given up on after a few seconds.
    std::string reply;
    char data[65536];
    int taken = 0;
    for (int waitedMs = 0;;) {
        pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, 100);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) {
            taken = taken || commandTaken(fd);
            waitedMs += 100;
            if (!taken && waitedMs >= takeLimitMs) {
                fprintf(stderr,
                        "quarn-server: the server on %s did not take the command within %d "
                        "seconds; it may be hung (its process is named in %s)\n",
                        path.c_str(), takeLimitMs / 1000, resPath("lock").c_str());
                close(fd);
                return 1;
            }
            if (waitedMs >= answerLimitMs) break;
            continue;
        }
        ssize_t n = recv(fd, data, sizeof data, 0);
        if (n <= 0) break;
        taken = 1;
        reply.append(data, size_t(n));
    }
    close(fd);
    size_t last = reply.size() > 1 ? reply.rfind('\n', reply.size() - 2) : std::string::npos;
    std::string status = reply.substr(last == std::string::npos ? 0 : last + 1);
    fwrite(reply.data(), 1, reply.size() - status.size(), stdout);
    if (status != "ok\n" && status != "failed\n")
        fprintf(stderr, "quarn-server: the server's answer ended early\n");
    return status == "ok\n" ? 0 : 1;
}
