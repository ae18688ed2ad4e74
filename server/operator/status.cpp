// The operator's figures: the status line (players in the game and connecting, the mean
// and longest tick, the size of the world and the datagrams dropped by the server and by
// the system, measured over each interval and logged once an interval and at Stop), and
// the same figures for the live page and for Prometheus, from running totals.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "operator.h"

// The histogram of the ticks' time for the metrics: its buckets' upper bounds, in seconds.
constexpr double tickBuckets[] = {0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1};
static_assert(sizeof tickBuckets / sizeof tickBuckets[0] == tickBucketCount);

void startStatus() {
    traffic.figures.intervalStart = getTicks();
    traffic.figures.tickMsSum = traffic.figures.tickMsMax = 0;
    traffic.figures.ticks = 0;
    traffic.figures.droppedAtStart = traffic.totals.dropped;
    traffic.figures.systemDroppedAtStart = traffic.totals.systemDropped;
    traffic.figures.picksIgnoredAtStart = traffic.totals.picksIgnored;
}

void statusLine(char* out, size_t outSize) {
    int playing = 0, connecting = 0;
    for (veskProfile* pro : sessions.profList ? liveSessions() : std::vector<veskProfile*>()) {
        playing += pro->stage == psGame;
        connecting += pro->stage != psGame;
    }
    snprintf(out, outSize,
             "Status: %d playing, %d connecting, tick mean %.2f ms, max %.2f ms, %d chunks, "
             "%d entities, %lld datagrams dropped, %lld dropped by the system, %lld picks "
             "ignored",
             playing, connecting,
             traffic.figures.ticks ? traffic.figures.tickMsSum / double(traffic.figures.ticks)
                                   : 0.0,
             traffic.figures.tickMsMax, chunkCount(world.terList), entityCount(world.entList),
             traffic.totals.dropped - traffic.figures.droppedAtStart,
             traffic.totals.systemDropped - traffic.figures.systemDroppedAtStart,
             traffic.totals.picksIgnored - traffic.figures.picksIgnoredAtStart);
}

// What a host must not miss while the server otherwise looks healthy: damaged save files
// set aside at Start (the server serves without what they held).
static std::string warnings() {
    std::string text;
    for (const std::string& f : filesSetAside()) {
        char shown[1100];
        shownText(f.data(), f.size(), shown, sizeof shown);
        text += (text.empty() ? "" : ", ") + std::string(shown);
    }
    return text.empty() ? "" : "damaged save files set aside at Start: " + text;
}

void announceWarnings() {
    std::string warning = warnings();
    if (!warning.empty()) notifyStatus(warning.c_str());
}

void logStatus() {
    char line[300];
    statusLine(line, sizeof line);
    textBoxAddStr(logging.box, line);
    std::string warning = warnings();
    notifyStatus((warning.empty() ? std::string(line) : warning + "; " + line).c_str());
    startStatus();
}

void countTick(double ms) {
    traffic.figures.tickMsSum += ms;
    if (ms > traffic.figures.tickMsMax) traffic.figures.tickMsMax = ms;
    traffic.figures.ticks++;
    traffic.figures.ticksTotal++;
    traffic.figures.tickSecondsTotal += ms / 1000;
    for (int b = 0; b < tickBucketCount; b++)
        traffic.figures.ticksAtMost[b] += ms / 1000 <= tickBuckets[b];
    traffic.figures.secondMsSum += ms;
    traffic.figures.secondMsMax = std::max(traffic.figures.secondMsMax, ms);
    traffic.figures.secondTicks++;
    uint32_t now = getTicks();
    if (now - traffic.figures.secondStart >= 1000) {
        traffic.figures.lastSecondMean =
            traffic.figures.secondMsSum / double(traffic.figures.secondTicks);
        traffic.figures.lastSecondMax = traffic.figures.secondMsMax;
        traffic.figures.secondStart = now;
        traffic.figures.secondMsSum = traffic.figures.secondMsMax = 0;
        traffic.figures.secondTicks = 0;
    }
    if (now - traffic.figures.intervalStart >= uint32_t(options.statusSeconds) * 1000u) logStatus();
}

namespace {

struct figures {
    int playing, connecting, accounts, chunks, entities;
};

figures figuresNow() {
    figures f = {0, 0, arrayListGetLength(sessions.profList), chunkCount(world.terList),
                 entityCount(world.entList)};
    if (!sessions.profList) return f;
    for (veskProfile* pro : liveSessions()) {
        f.playing += pro->stage == psGame;
        f.connecting += pro->stage != psGame;
    }
    return f;
}

void metric(std::string* out, const char* name, const char* type, const char* help) {
    *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void sample(std::string* out, const char* name, double value, const char* labels = "") {
    char line[200];
    snprintf(line, sizeof line, "%s%s %.17g\n", name, labels, std::isfinite(value) ? value : 0.0);
    *out += line;
}

void counter(std::string* out, const char* name, const char* help, double value) {
    metric(out, name, "counter", help);
    sample(out, name, value);
}

void gauge(std::string* out, const char* name, const char* help, double value) {
    metric(out, name, "gauge", help);
    sample(out, name, value);
}

// A JSON string of text already shown escaped (no control byte left).
std::string jsonQuoted(const std::string& shown) {
    std::string quoted = "\"";
    for (char c : shown) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// A JSON string of client text: shown escaped as in the log, then quoted for JSON.
std::string jsonText(const unsigned char* field) {
    char shown[1100];
    shownField(field, textLen, shown, sizeof shown);
    return jsonQuoted(shown);
}

std::string number(double v) {
    char text[40];
    snprintf(text, sizeof text, "%.6g", std::isfinite(v) ? v : 0.0);
    return text;
}

} // namespace

void metricsText(std::string* out) {
    figures f = figuresNow();
    const saveTotals& done = saves.totals;
    out->clear();
    gauge(out, "quarn_players_playing", "Players in the game.", f.playing);
    gauge(out, "quarn_players_connecting", "Players logged in and still in the handshake.",
          f.connecting);
    gauge(out, "quarn_accounts", "Accounts.", f.accounts);
    gauge(out, "quarn_chunks", "Terrain chunks of the world.", f.chunks);
    gauge(out, "quarn_entities", "Entities of the world.", f.entities);
    counter(out, "quarn_ticks_total", "Serving ticks.", double(traffic.figures.ticksTotal));
    metric(out, "quarn_tick_duration_seconds", "histogram",
           "Time of a whole serving tick (receiving, game, sending, saving, requests).");
    for (int b = 0; b < tickBucketCount; b++) {
        char label[40];
        snprintf(label, sizeof label, "{le=\"%g\"}", tickBuckets[b]);
        sample(out, "quarn_tick_duration_seconds_bucket", double(traffic.figures.ticksAtMost[b]),
               label);
    }
    sample(out, "quarn_tick_duration_seconds_bucket", double(traffic.figures.ticksTotal),
           "{le=\"+Inf\"}");
    sample(out, "quarn_tick_duration_seconds_sum", traffic.figures.tickSecondsTotal);
    sample(out, "quarn_tick_duration_seconds_count", double(traffic.figures.ticksTotal));
    counter(out, "quarn_datagrams_received_total", "Datagrams read from the socket.",
            double(traffic.totals.datagramsIn));
    counter(out, "quarn_datagrams_sent_total", "Datagrams sent.",
            double(traffic.totals.datagramsOut));
    metric(out, "quarn_datagrams_dropped_total", "counter",
           "Datagrams dropped: by the server beyond a sender's share or the tick's budget, by "
           "the system when the socket's queue was full, unread from a banned address, or "
           "from a session's address and port with another key.");
    sample(out, "quarn_datagrams_dropped_total", double(traffic.totals.dropped), "{by=\"server\"}");
    sample(out, "quarn_datagrams_dropped_total", double(traffic.totals.systemDropped),
           "{by=\"system\"}");
    sample(out, "quarn_datagrams_dropped_total", double(traffic.totals.banned), "{by=\"ban\"}");
    sample(out, "quarn_datagrams_dropped_total", double(traffic.totals.wrongKey), "{by=\"key\"}");
    counter(out, "quarn_picks_ignored_total",
            "Terrain picks ignored: beyond a session's picks in a tick, or the tick's budget.",
            double(traffic.totals.picksIgnored));
    counter(out, "quarn_received_bytes_total", "Bytes of the datagrams read.",
            double(traffic.totals.bytesIn));
    counter(out, "quarn_sent_bytes_total", "Bytes of the datagrams sent.",
            double(traffic.totals.bytesOut));
    counter(out, "quarn_password_hashes_total", "Password hashes computed.",
            double(sessions.passwordHashes));
    counter(out, "quarn_saves_total", "Saves written.", double(done.saved));
    counter(out, "quarn_save_failures_total", "Saves that failed.", double(done.failed));
    gauge(out, "quarn_last_save_duration_seconds", "Time of the last save written, start to end.",
          done.lastSeconds);
    counter(out, "quarn_log_lines_lost_total",
            "Lines of standard output dropped while its reader did not keep up.",
            double(outputLinesLost()));
    gauge(out, "quarn_save_files_set_aside",
          "Damaged save files set aside (not loaded) at the last Start.",
          double(filesSetAside().size()));
    gauge(out, "quarn_uptime_seconds", "Time since the process started.",
          (steadyMs() - traffic.figures.processStartMs) / 1000);
}

void statusJson(std::string* out) {
    figures f = figuresNow();
    *out = "{\"version\":\"" + std::string(serverVersion) +
           "\",\"serving\":" + (world.servOn ? "true" : "false") +
           ",\"uptimeSeconds\":" + number((steadyMs() - traffic.figures.processStartMs) / 1000) +
           ",\"playing\":" + std::to_string(f.playing) +
           ",\"connecting\":" + std::to_string(f.connecting) +
           ",\"accounts\":" + std::to_string(f.accounts) +
           ",\"chunks\":" + std::to_string(f.chunks) +
           ",\"entities\":" + std::to_string(f.entities) +
           ",\"ticks\":" + std::to_string(traffic.figures.ticksTotal) +
           ",\"tickMeanMs\":" + number(traffic.figures.lastSecondMean) +
           ",\"tickMaxMs\":" + number(traffic.figures.lastSecondMax) +
           ",\"datagramsDropped\":" + std::to_string(traffic.totals.dropped) +
           ",\"systemDropped\":" + std::to_string(traffic.totals.systemDropped) +
           ",\"worldVersion\":" + std::to_string(world.worldVersion) +
           ",\"warning\":" + jsonQuoted(warnings()) + ",\"sessions\":[";
    uint32_t now = getTicks();
    int first = 1;
    for (veskProfile* pro : sessions.profList ? liveSessions() : std::vector<veskProfile*>()) {
        veskEntity* ent = profEntity(pro);
        if (!ent) continue;
        const veskGravity* g = ent->gravMem;
        float cx, cz;
        terToWorldNew(g->chunkCoords[0], g->chunkCoords[1], &cx, &cz, options.terScale);
        *out += std::string(first ? "" : ",") + "{\"name\":" + jsonText(pro->username) +
                ",\"stage\":\"" + stageNames[pro->stage] + "\",\"chunk\":[" +
                std::to_string(g->chunkCoords[0]) + "," + std::to_string(g->chunkCoords[1]) +
                "],\"position\":[" + number(g->position[0]) + "," + number(g->position[1]) + "," +
                number(g->position[2]) + "],\"world\":[" + number(g->position[0] + cx) + "," +
                number(g->position[1]) + "," + number(g->position[2] + cz) +
                "],\"seconds\":" + std::to_string((now - pro->sessionStart) / 1000) + "}";
        first = 0;
    }
    *out += "]}";
}
