// World streaming for one client: chunk and entity records, the handshake batches, and
// the per-tick in-game datagram (entity updates, newly visible chunks, moved vertices).
// Records are encoded straight into the datagram's writer; a record that does not fit is
// never written in part: the datagram built so far is sent and a new one started.
#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "bytes.h"
#include "sessions.h"

// Counts, coordinates and ids travel big-endian; floats and whole vertex records and
// triangles are copied as they lie in memory (little-endian).

static veskGravity* avatarOf(veskProfile* pro) {
    veskEntity* ent = profEntity(pro);
    return ent ? ent->gravMem : nullptr;
}

static int visibleFrom(veskProfile* pro, const veskGravity* avatar, const int* coords) {
    if (!avatar) return 0;
    return terRadius(coords[0] - avatar->chunkCoords[0], coords[1] - avatar->chunkCoords[1]) <
           pro->terRadius;
}

int buffChunk(byteWriter* w, veskTerrain* ter) {
    if (!hasRoom(w, size_t(chunkRecordLen(ter)))) return 0;
    putIntBE(w, ter->chunkCoords[0]);
    putIntBE(w, ter->chunkCoords[1]);
    putIntBE(w, ter->numVerts);
    putIntBE(w, ter->numFaces);
    putBytes(w, ter->verts, sizeof(vertTex) * size_t(ter->numVerts));
    putBytes(w, ter->faces, 12 * size_t(ter->numFaces));
    return 1;
}

int buffEnt(byteWriter* w, veskEntity* ent) {
    if (!hasRoom(w, entRecordLen)) return 0;
    veskGravity* g = ent->gravMem;
    putIntBE(w, ent->globalId);
    putIntBE(w, ent->modelIndex);
    putBytes(w, &ent->scale, 4);
    putFloatsLE(w, g->position, 3);
    putFloatsLE(w, g->rots, 3);
    putIntBE(w, g->chunkCoords[0]);
    putIntBE(w, g->chunkCoords[1]);
    return 1;
}

static int entUpdateLen(const veskGravity* g) {
    return 8 + (g->locChanged ? 21 : 0) + (g->rotChanged ? 13 : 0);
}

// What changed this tick, gathered once by the output step for all its clients: the
// entities with a change mark and the chunks with moved vertices, in list order. The
// changed entities are also ordered by chunk, so that a client whose view holds fewer
// chunks than there are changes looks up only the chunks it sees.

static const chunkRun* runOf(int cx, int cy) {
    return probeFind(&traffic.runs, coordKey(cx, cy), coordHash(cx, cy));
}

static void bucketByChunk() {
    std::vector<int>& order = traffic.byChunk;
    const std::vector<changedEnt>& ents = traffic.changedEnts;
    order.resize(ents.size());
    for (size_t i = 0; i < order.size(); i++)
        order[i] = int(i);
    std::sort(order.begin(), order.end(), [&](int a, int b) {
        const changedEnt &x = ents[size_t(a)], &y = ents[size_t(b)];
        if (x.cx != y.cx) return x.cx < y.cx;
        if (x.cy != y.cy) return x.cy < y.cy;
        return a < b;
    });
    probeReset(&traffic.runs, order.size());
    for (size_t at = 0; at < order.size();) {
        const changedEnt& first = ents[size_t(order[at])];
        size_t end = at;
        while (end < order.size() && ents[size_t(order[end])].cx == first.cx &&
               ents[size_t(order[end])].cy == first.cy)
            end++;
        probeInsert(&traffic.runs, coordKey(first.cx, first.cy), coordHash(first.cx, first.cy),
                    chunkRun{int(at), int(end)});
        at = end;
    }
}

// An entity update record: the location sub-record, when present, comes first.
static void encodeEntUpdate(byteWriter* w, const veskEntity* ent) {
    const veskGravity* g = ent->gravMem;
    putIntBE(w, ent->globalId);
    putIntBE(w, (g->locChanged ? 1 : 0) + (g->rotChanged ? 1 : 0));
    if (g->locChanged) {
        putU8(w, soEntLoc);
        putIntBE(w, g->chunkCoords[0]);
        putIntBE(w, g->chunkCoords[1]);
        putFloatsLE(w, g->position, 3);
    }
    if (g->rotChanged) {
        putU8(w, soEntRot);
        putFloatsLE(w, g->rots, 3);
    }
}

void gatherTickChanges() {
    traffic.changedEnts.clear();
    traffic.editedChunks.clear();
    traffic.records.clear();
    for (veskEntity* ent : arrayListItems<veskEntity>(world.entList)) {
        veskGravity* g = ent->gravMem;
        if (!(g->locChanged || g->rotChanged)) continue;
        int len = entUpdateLen(g);
        traffic.changedEnts.push_back(
            {g->chunkCoords[0], g->chunkCoords[1], traffic.records.size(), len});
        traffic.records.resize(traffic.records.size() + size_t(len));
        byteWriter w =
            makeWriter(traffic.records.data() + traffic.records.size() - size_t(len), size_t(len));
        encodeEntUpdate(&w, ent);
    }
    // The chunks with moved vertices, in list order.
    for (veskTerrain* ter : world.movedChunks)
        if (ter->movedVerts->filled > 0 || ter->movedVerts->next)
            traffic.editedChunks.push_back(ter);
    std::sort(
        traffic.editedChunks.begin(), traffic.editedChunks.end(),
        [](const veskTerrain* a, const veskTerrain* b) { return a->listIndex < b->listIndex; });
    bucketByChunk();
}

// Nothing gathered goes out after its tick.
void forgetTickChanges() {
    traffic.changedEnts.clear();
    traffic.records.clear();
    traffic.editedChunks.clear();
    traffic.byChunk.clear();
}

void freeTickChanges() {
    forgetTickChanges();
    traffic.changedEnts.shrink_to_fit();
    traffic.records.shrink_to_fit();
    traffic.editedChunks.shrink_to_fit();
    traffic.byChunk.shrink_to_fit();
    traffic.runs = probeTable<uint64_t, chunkRun>{};
}

// The offsets of the chunks a view radius shows: hex distance below the radius.
static const std::vector<int>& offsetsWithin(int radius) {
    if (size_t(radius) >= traffic.viewOffsets.size())
        traffic.viewOffsets.resize(size_t(radius) + 1);
    std::vector<int>& o = traffic.viewOffsets[size_t(radius)];
    if (o.empty())
        for (int dx = 1 - radius; dx < radius; dx++)
            for (int dy = 1 - radius; dy < radius; dy++)
                if (terRadius(dx, dy) < radius) {
                    o.push_back(dx);
                    o.push_back(dy);
                }
    return o;
}

// The changed entities a client sees, as indices into changedEnts in list order.
static const std::vector<int>& visibleChanges(veskProfile* pro, const veskGravity* avatar) {
    traffic.seen.clear();
    int ax = avatar->chunkCoords[0], ay = avatar->chunkCoords[1];
    int radius = pro->terRadius;
    if (radius <= 0) return traffic.seen; // a view radius of 0 or less shows nothing
    long long inView = 3LL * radius * (radius - 1) + 1;
    if (inView >= (long long)traffic.changedEnts.size()) {
        for (size_t i = 0; i < traffic.changedEnts.size(); i++)
            if (terRadius(traffic.changedEnts[i].cx - ax, traffic.changedEnts[i].cy - ay) < radius)
                traffic.seen.push_back(int(i));
        return traffic.seen;
    }
    // The runs of the chunks in view mark their entities; reading the marks in order
    // gives list order.
    traffic.seenMask.assign((traffic.changedEnts.size() + 63) / 64, 0);
    const std::vector<int>& offsets = offsetsWithin(radius);
    for (size_t k = 0; k < offsets.size(); k += 2) {
        const chunkRun* r = runOf(ax + offsets[k], ay + offsets[k + 1]);
        for (int j = r ? r->start : 0; r && j < r->end; j++)
            traffic.seenMask[size_t(traffic.byChunk[size_t(j)]) / 64] |=
                uint64_t(1) << (traffic.byChunk[size_t(j)] % 64);
    }
    for (size_t w = 0; w < traffic.seenMask.size(); w++)
        for (uint64_t bits = traffic.seenMask[w]; bits; bits &= bits - 1)
            traffic.seen.push_back(int(w * 64) + std::countr_zero(bits));
    return traffic.seen;
}

static void sendWhole(veskProfile* pro, const byteWriter* w) {
    int sent = sendDatagram(&pro->profAddr, pro->addrLen, w);
    if (sent < int(w->pos)) traceLine("send Partial");
}

// The places in the chunk list of the chunks a client sees, in list order. A join costs
// what it sends, not the world's size: the cells in view are looked up, unless there are
// more of them than the world has chunks.
static void visiblePositions(veskProfile* pro, const veskGravity* avatar, std::vector<int>* out) {
    out->clear();
    int radius = pro->terRadius;
    if (!avatar || radius <= 0) return;
    int total = chunkCount(world.terList);
    if (3LL * radius * (radius - 1) + 1 >= total) {
        for (int i = 0; i < total; i++)
            if (visibleFrom(pro, avatar, chunkAt(world.terList, i)->chunkCoords)) out->push_back(i);
        return;
    }
    const std::vector<int>& offsets = offsetsWithin(radius);
    for (size_t k = 0; k < offsets.size(); k += 2) {
        int cell[2] = {avatar->chunkCoords[0] + offsets[k],
                       avatar->chunkCoords[1] + offsets[k + 1]};
        int position;
        if (coordsToTerAt(cell, world.terList, &position)) out->push_back(position);
    }
    std::sort(out->begin(), out->end());
}

// A batch goes on from curCounter with the next chunks in view; once none is left,
// curCounter is at the end of the list.
void initSendTers(veskProfile* pro) {
    traceLine("initSendTers()");
    byteWriter w = newDatagram();
    putU8(&w, soInitTer);
    putIntBE(&w, 0); // the count, once the batch is made
    int total = chunkCount(world.terList);
    tracef("numChunks: %d\n", total);
    std::vector<int>& inView = traffic.inView;
    visiblePositions(pro, avatarOf(pro), &inView);
    int count = 0;
    auto next = std::lower_bound(inView.begin(), inView.end(), pro->curCounter);
    for (; next != inView.end(); ++next) {
        if (!buffChunk(&w, chunkAt(world.terList, *next))) {
            if (count > 0) break; // it leads the next batch
            // Larger than any datagram: it could never be sent, so it must not
            // hold up the handshake for ever.
            traceLine("BUG: chunk can not fit in buffer.");
        } else {
            count++;
        }
    }
    pro->curCounter = next == inView.end() ? std::max(pro->curCounter, total) : *next;
    patchIntBE(&w, 1, count);
    tracef("numSent: %d\n", count);
    int sent = sendDatagram(&pro->profAddr, pro->addrLen, &w);
    protocolEntry("sendChunk nsent", "sendChunk nsent (%d)", sent);
    if (sent < int(w.pos)) traceLine("send Partial");
    tracef("curCounter: %d\n", pro->curCounter);
}

void sendEnts(veskProfile* pro) {
    byteWriter w = newDatagram();
    putU8(&w, soInitEnt);
    int total = entityCount(world.entList);
    if (pro->stage == psEntWait && pro->entitiesToSend < total) total = pro->entitiesToSend;
    veskGravity* avatar = avatarOf(pro);
    while (pro->curCounter < total) {
        veskEntity* ent = entityAt(world.entList, pro->curCounter);
        if (!ent->retired && visibleFrom(pro, avatar, ent->gravMem->chunkCoords) &&
            !buffEnt(&w, ent))
            break;
        pro->curCounter++;
    }
    int sent = sendDatagram(&pro->profAddr, pro->addrLen, &w);
    protocolEntry("sendEnts nsent", "sendEnts nsent (%d)", sent);
    if (sent < int(w.pos)) traceLine("send Partial");
}

// A block of the in-game datagram: its type byte and count lead it at `start`.
struct streamBlock {
    int type;
    size_t start;
    int count;
};

// The datagram so far goes out, and the writer starts a fresh one.
static void sendAndStartAfresh(veskProfile* pro, byteWriter* w) {
    if (w->pos > 1) sendWhole(pro, w);
    w->pos = 0;
    w->overflow = 0;
}

// A block's head (type and count) starts a fresh datagram when it would not fit.
static void openBlock(veskProfile* pro, byteWriter* w, streamBlock* b) {
    constexpr size_t blockHeadLen = 5;
    if (!hasRoom(w, blockHeadLen)) sendAndStartAfresh(pro, w);
    b->start = w->pos;
    b->count = 0;
    putU8(w, b->type);
    putIntBE(w, 0);
}

// Writes the block's count, or removes the block when it holds no record.
static void closeBlock(byteWriter* w, streamBlock* b) {
    if (b->count == 0) {
        w->pos = b->start;
        return;
    }
    patchIntBE(w, b->start + 1, b->count);
}

// The next record does not fit: the datagram so far goes out now and the block goes on
// at the start of a fresh one.
static void continueInNewDatagram(veskProfile* pro, byteWriter* w, streamBlock* b) {
    closeBlock(w, b);
    sendAndStartAfresh(pro, w);
    openBlock(pro, w, b);
}

void sendEntsTicly(veskProfile* pro, byteWriter* w) {
    streamBlock block = {soEntUpdate, 0, 0};
    openBlock(pro, w, &block);
    size_t first = block.start;
    veskGravity* avatar = avatarOf(pro);
    if (!avatar) {
        closeBlock(w, &block);
        return;
    }
    for (int i : visibleChanges(pro, avatar)) {
        const changedEnt* c = &traffic.changedEnts[size_t(i)];
        if (!hasRoom(w, size_t(c->recordLen))) {
            tracef("writeEnts Mid (%zu -> %zu)\n", block.start, w->pos);
            continueInNewDatagram(pro, w, &block);
            first = block.start;
        }
        putBytes(w, traffic.records.data() + c->record, size_t(c->recordLen));
        block.count++;
    }
    if (block.count > 0) tracef("writeEnts (%zu -> %zu)\n", first, w->pos);
    closeBlock(w, &block);
}

// The chunks that came into view: those on the outer ring of the view (hex distance
// radius - 1 from the avatar's new chunk) that were beyond it from the old one, in list
// order. A large world is not scanned: the ring's cells are looked up, unless the ring
// has more cells than the world has chunks.
static void newlyVisible(veskProfile* pro, const veskGravity* avatar,
                         std::vector<std::pair<int, veskTerrain*>>* found) {
    long long ring = (long long)pro->terRadius - 1; // the client's number: any int
    const int* now = avatar->chunkCoords;
    const int* old = avatar->chunkCoordsOld;
    auto wasHidden = [&](const int* c) { return terRadius(c[0] - old[0], c[1] - old[1]) > ring; };
    int total = chunkCount(world.terList);
    if (ring < 0) return;
    if (6 * ring > total) {
        int position = 0;
        for (veskTerrain* ter : arrayListItems<veskTerrain>(world.terList)) {
            const int* c = ter->chunkCoords;
            if (terRadius(c[0] - now[0], c[1] - now[1]) == ring && wasHidden(c))
                found->push_back({position, ter});
            position++;
        }
        return;
    }
    // Around the ring: from the corner at (ring, 0) along each of its six sides.
    static const int sides[6][2] = {{0, -1}, {-1, 0}, {-1, 1}, {0, 1}, {1, 0}, {1, -1}};
    int cell[2] = {now[0] + int(ring), now[1]};
    for (int side = 0; side < 6; side++)
        for (long long step = 0; step < (ring > 0 ? ring : 1); step++) {
            int position;
            veskTerrain* ter = coordsToTerAt(cell, world.terList, &position);
            if (ter && wasHidden(cell)) found->push_back({position, ter});
            if (ring == 0) return;
            cell[0] += sides[side][0];
            cell[1] += sides[side][1];
        }
    std::sort(found->begin(), found->end());
}

// Chunks made this tick inside the view (the world grows around walkers, the client's own
// or others'), which the ring of newlyVisible does not hold: a client seeing farther than
// the world grows around a walker would never get them otherwise.
static void madeInView(veskProfile* pro, const veskGravity* avatar, int moved,
                       std::vector<std::pair<int, veskTerrain*>>* found) {
    long long ring = (long long)pro->terRadius - 1;
    const int* now = avatar->chunkCoords;
    const int* old = avatar->chunkCoordsOld;
    for (veskTerrain* ter : world.madeChunks) {
        const int* c = ter->chunkCoords;
        long long d = terRadius(c[0] - now[0], c[1] - now[1]);
        if (d > ring) continue;
        int onRing = moved && d == ring && terRadius(c[0] - old[0], c[1] - old[1]) > ring;
        if (!onRing) found->push_back({ter->listIndex, ter});
    }
}

void sendNewChunks(veskProfile* pro, byteWriter* w) {
    veskGravity* avatar = avatarOf(pro);
    if (!avatar) return;
    int moved = avatar->chunkCoords[0] != avatar->chunkCoordsOld[0] ||
                avatar->chunkCoords[1] != avatar->chunkCoordsOld[1];
    if (!moved && world.madeChunks.empty()) return;
    streamBlock block = {soInitTer, 0, 0};
    openBlock(pro, w, &block);
    tracef("numChunks: %d\n", chunkCount(world.terList));
    std::vector<std::pair<int, veskTerrain*>>& found = traffic.found;
    found.clear();
    if (moved) newlyVisible(pro, avatar, &found);
    madeInView(pro, avatar, moved, &found);
    std::sort(found.begin(), found.end());
    for (auto [position, ter] : found) {
        if (buffChunk(w, ter)) {
            block.count++;
            continue;
        }
        tracef("writeNewChunks Mid (%zu -> %zu)\n", block.start, w->pos);
        continueInNewDatagram(pro, w, &block);
        if (buffChunk(w, ter))
            block.count++;
        else
            traceLine("BUG: chunk can not fit in buffer.");
    }
    if (block.count > 0) tracef("writeNewChunks (%zu -> %zu)\n", block.start, w->pos);
    closeBlock(w, &block);
    avatar->chunkCoordsOld[0] = avatar->chunkCoords[0];
    avatar->chunkCoordsOld[1] = avatar->chunkCoords[1];
}

// Head of a chunk update record; returns where its vertex count goes.
static size_t openChunkRecord(byteWriter* w, const veskTerrain* ter) {
    putIntBE(w, ter->chunkCoords[0]);
    putIntBE(w, ter->chunkCoords[1]);
    putU8(w, soTerVertMove);
    size_t countAt = w->pos;
    putIntBE(w, 0);
    return countAt;
}

void sendMovedVerts(veskProfile* pro, byteWriter* w) {
    streamBlock block = {soTerUpdate, 0, 0};
    openBlock(pro, w, &block);
    veskGravity* avatar = avatarOf(pro);
    constexpr size_t recordHead = 13, vertLen = 4 + sizeof(vertTex);
    for (veskTerrain* ter : traffic.editedChunks) {
        if (!visibleFrom(pro, avatar, ter->chunkCoords)) continue;
        if (!hasRoom(w, recordHead + vertLen)) continueInNewDatagram(pro, w, &block);
        size_t countAt = openChunkRecord(w, ter);
        int m = 0;
        for (int32_t index : arrayListValues<int32_t>(ter->movedVerts)) {
            if (index < 0 || index >= ter->numVerts) {
                traceLine("Bug: sendMovedVerts() Out of Bound vert.");
                continue;
            }
            if (!hasRoom(w, vertLen)) {
                // The rest of this chunk's vertices go in a further record.
                patchIntBE(w, countAt, m);
                block.count++;
                continueInNewDatagram(pro, w, &block);
                countAt = openChunkRecord(w, ter);
                m = 0;
            }
            putIntBE(w, index);
            putBytes(w, &ter->verts[index], sizeof(vertTex));
            m++;
        }
        patchIntBE(w, countAt, m);
        block.count++;
    }
    if (block.count > 0)
        tracef("writtenChunks: %d (preIndex: %zu)\n", block.count, block.start + 1);
    closeBlock(w, &block);
}
