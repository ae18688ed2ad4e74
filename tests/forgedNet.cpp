// Entering a network namespace of the test's own, and sending from forged addresses.
#include "forgedNet.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sched.h>
#include <unistd.h>

static bool writeProc(const std::string& path, const std::string& text) {
    std::ofstream f(path);
    f << text;
    f.flush();
    return bool(f);
}

bool enterOwnNetwork(std::string* why) {
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWNET) != 0) {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
            *why = std::string("no network namespace of the test's own: ") + strerror(errno);
            return false;
        }
        // Root inside the new user namespace, so that the network can be set up.
        bool mapped = writeProc("/proc/self/setgroups", "deny") &&
                      writeProc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
                      writeProc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
        if (!mapped) {
            *why = "the user namespace's identities could not be mapped";
            return false;
        }
    }
    if (system("ip link set lo up && ip route add local 198.18.0.0/15 dev lo") != 0) {
        *why = "the test network could not be set up (ip)";
        return false;
    }
    return true;
}

forgedSender::forgedSender() {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1;
    setsockopt(fd, SOL_IP, IP_FREEBIND, &on, sizeof on);
    int size = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

forgedSender::~forgedSender() {
    close(fd);
}

bool forgedSender::send(uint32_t source, int serverPort, const std::vector<unsigned char>& d) {
    sockaddr_in to = {AF_INET, htons(uint16_t(serverPort)), {htonl(INADDR_LOOPBACK)}, {}};
    iovec iov = {const_cast<unsigned char*>(d.data()), d.size()};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr msg = {};
    msg.msg_name = &to;
    msg.msg_namelen = sizeof to;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info = {};
    info.ipi_spec_dst.s_addr = source;
    memcpy(CMSG_DATA(c), &info, sizeof info);
    return sendmsg(fd, &msg, 0) == ssize_t(d.size());
}
