// Debian's chromium driven over its DevTools pipe (--remote-debugging-pipe): messages are
// JSON texts ended by a 0 byte, written to the browser's descriptor 3 and read from its 4.
#include "browser.h"

#include <SDL2/SDL.h>
#include <SDL2/SDL_image.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

static std::string decodeBase64(const std::string& text) {
    std::string out;
    uint32_t bits = 0;
    int have = 0;
    for (char c : text) {
        const char* at =
            strchr("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", c);
        if (!at || c == 0) continue; // padding and anything else
        bits = bits << 6 |
               uint32_t(at - "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
        have += 6;
        if (have >= 8) {
            have -= 8;
            out.push_back(char(bits >> have & 0xFF));
        }
    }
    return out;
}

std::string jsonString(const std::string& json, const std::string& key) {
    size_t at = json.find("\"" + key + "\":\"");
    if (at == std::string::npos) return "";
    std::string out;
    for (size_t i = at + key.size() + 4; i < json.size() && json[i] != '"'; i++) {
        if (json[i] != '\\') {
            out += json[i];
            continue;
        }
        char e = json[++i];
        if (e == 'n')
            out += '\n';
        else if (e == 'u' && i + 4 < json.size()) {
            long code = strtol(json.substr(i + 1, 4).c_str(), nullptr, 16);
            out += code < 0x80 ? char(code) : '?';
            i += 4;
        } else {
            out += e;
        }
    }
    return out;
}

bool browser::open(const std::string& url, int width, int height, std::string* why) {
    if (access("/usr/bin/chromium", X_OK) != 0) {
        *why = "no /usr/bin/chromium (scripts/setup-test installs it)";
        return false;
    }
    char folder[] = "/tmp/quarn-browser-XXXXXX";
    profile = mkdtemp(folder);
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return false;
    pid = fork();
    if (pid == 0) {
        dup2(in[0], 3);
        dup2(out[1], 4);
        int null = ::open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        std::string size = "--window-size=" + std::to_string(width) + "," + std::to_string(height);
        std::string data = "--user-data-dir=" + profile;
        execl("/usr/bin/chromium", "chromium", "--headless", "--no-sandbox", "--disable-gpu",
              "--disable-quic", "--no-first-run", "--disable-background-networking",
              "--disable-component-update", "--disable-sync", "--hide-scrollbars",
              "--remote-debugging-pipe", size.c_str(), data.c_str(), "about:blank", nullptr);
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    toChrome = in[1];
    fromChrome = out[0];
    std::string target =
        jsonString(call("Target.createTarget", "{\"url\":\"" + url + "\"}", false), "targetId");
    std::string attached =
        call("Target.attachToTarget", "{\"targetId\":\"" + target + "\",\"flatten\":true}", false);
    session = jsonString(attached, "sessionId");
    if (session.empty()) *why = "the browser gave no page: " + attached;
    return !session.empty();
}

std::string browser::call(const std::string& method, const std::string& params, bool onPage) {
    int id = nextId++;
    std::string message = "{\"id\":" + std::to_string(id) + ",\"method\":\"" + method +
                          "\",\"params\":" + params +
                          (onPage ? ",\"sessionId\":\"" + session + "\"" : "") + "}";
    message.push_back('\0');
    if (write(toChrome, message.data(), message.size()) != ssize_t(message.size())) return "";
    std::string mark = "{\"id\":" + std::to_string(id) + ",";
    auto t0 = std::chrono::steady_clock::now();
    for (;;) {
        for (size_t end; (end = received.find('\0')) != std::string::npos;) {
            std::string one = received.substr(0, end);
            received.erase(0, end + 1);
            if (one.starts_with(mark)) return one;
        }
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                        .count();
        pollfd p = {fromChrome, POLLIN, 0};
        if (ms > 30000 || poll(&p, 1, 1000) < 0) return "";
        char data[65536];
        ssize_t n = p.revents ? read(fromChrome, data, sizeof data) : 0;
        if (p.revents && n <= 0) return "";
        received.append(data, size_t(n > 0 ? n : 0));
    }
}

std::string browser::evaluate(const std::string& expression) {
    std::string quoted;
    for (char c : expression)
        quoted += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    return jsonString(call("Runtime.evaluate",
                           "{\"expression\":\"String(" + quoted + ")\",\"returnByValue\":true}",
                           true),
                      "value");
}

std::vector<uint32_t> browser::screenshot(int* width, int* height) {
    std::string png = decodeBase64(
        jsonString(call("Page.captureScreenshot", "{\"format\":\"png\"}", true), "data"));
    std::vector<uint32_t> pixels;
    SDL_Surface* loaded = IMG_Load_RW(SDL_RWFromConstMem(png.data(), int(png.size())), 1);
    if (!loaded) return pixels;
    SDL_Surface* rgb = SDL_ConvertSurfaceFormat(loaded, SDL_PIXELFORMAT_ARGB8888, 0);
    SDL_FreeSurface(loaded);
    *width = rgb->w;
    *height = rgb->h;
    for (int y = 0; y < rgb->h; y++)
        for (int x = 0; x < rgb->w; x++)
            pixels.push_back(static_cast<uint32_t*>(rgb->pixels)[y * rgb->pitch / 4 + x] &
                             0xFFFFFF);
    SDL_FreeSurface(rgb);
    return pixels;
}

browser::~browser() {
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    if (toChrome >= 0) close(toChrome);
    if (fromChrome >= 0) close(fromChrome);
    if (!profile.empty()) std::filesystem::remove_all(profile);
}
