// World streaming for one client: chunk and entity records, the handshake batches, and
// the per-tick in-game datagram (entity updates, newly visible chunks, moved vertices).
// Records are encoded straight into buf; a record that does not fit never overruns it:
// the datagram built so far is sent and a new one started.
#include <cstring>

#include "veskServer.h"

// Counts, coordinates and ids travel big-endian; floats and whole vertex records and
// triangles are copied as they lie in memory (little-endian).
static void putInt(int v) {
    intToBuffer(v, buf + bufIndex);
    bufIndex += 4;
}

static void putRaw(const void* data, size_t n) {
    memcpy(buf + bufIndex, data, n);
    bufIndex += int(n);
}

static veskGravity* avatarOf(veskProfile* pro) {
    veskEntity* ent = profEntity(pro);
    return ent ? ent->gravMem : nullptr;
}

static int visibleFrom(veskProfile* pro, const veskGravity* avatar, const int* coords) {
    if (!avatar) return 0;
    return terRadius(coords[0] - avatar->chunkCoords[0], coords[1] - avatar->chunkCoords[1]) <
           pro->terRadius;
}

static long long chunkRecordLen(const veskTerrain* ter) {
    return chunkHeadLen + 16LL * ter->numVerts + 12LL * ter->numFaces;
}

int buffChunk(veskTerrain* ter) {
    if (bufIndex + chunkRecordLen(ter) > bufSize) return 0;
    putInt(ter->chunkCoords[0]);
    putInt(ter->chunkCoords[1]);
    putInt(ter->numVerts);
    putInt(ter->numFaces);
    putRaw(ter->verts, sizeof(vertTex) * size_t(ter->numVerts));
    putRaw(ter->faces, 12 * size_t(ter->numFaces));
    return 1;
}

int buffEnt(veskEntity* ent) {
    if (bufIndex + entRecordLen > bufSize) return 0;
    veskGravity* g = ent->gravMem;
    putInt(ent->globalId);
    putInt(ent->modelIndex);
    putRaw(&ent->scale, 4);
    putRaw(g->position, 12);
    putRaw(g->rots, 12);
    putInt(g->chunkCoords[0]);
    putInt(g->chunkCoords[1]);
    return 1;
}

static int entUpdateLen(const veskGravity* g) {
    return 8 + (g->locChanged ? 21 : 0) + (g->rotChanged ? 13 : 0);
}

// What changed this tick, gathered once for all clients of the output step: the entities
// with a change mark and the chunks with moved vertices, in list order. Outside the
// output step the senders scan the whole lists, with the same result.
struct changedEnt {
    veskEntity* ent;
    int cx, cy; // its chunk, for the visibility test of every client
    int recordLen;
};
static ArrayList* changedEnts = nullptr; // changedEnt values
static ArrayList* editedChunks = nullptr;
static int changesGathered = 0;

void gatherTickChanges() {
    if (!changedEnts) changedEnts = initArrayList(10, sizeof(changedEnt));
    if (!editedChunks) editedChunks = initArrayList(10, 8);
    arrayListClear(changedEnts);
    arrayListClear(editedChunks);
    for (ArrayList* l = entList; l; l = l->next)
        for (int i = 0; i < l->filled; i++) {
            veskEntity* ent = reinterpret_cast<veskEntity**>(l->data)[i];
            veskGravity* g = ent->gravMem;
            if (!(g->locChanged || g->rotChanged)) continue;
            changedEnt c = {ent, g->chunkCoords[0], g->chunkCoords[1], entUpdateLen(g)};
            arrayListAddEnd(changedEnts, &c);
        }
    for (ArrayList* l = terList; l; l = l->next)
        for (int i = 0; i < l->filled; i++) {
            veskTerrain* ter = reinterpret_cast<veskTerrain**>(l->data)[i];
            if (arrayListGetLength(ter->movedVerts) > 0) arrayListAddEndPointer(editedChunks, ter);
        }
    changesGathered = 1;
}

void forgetTickChanges() {
    changesGathered = 0;
}

void freeTickChanges() {
    freeArrayList(changedEnts);
    freeArrayList(editedChunks);
    changedEnts = editedChunks = nullptr;
    changesGathered = 0;
}

static void sendWhole(veskProfile* pro) {
    int sent = sendBuf(&pro->profAddr, pro->addrLen, bufIndex);
    if (sent < bufIndex) traceLine("send Partial");
}

void initSendTers(veskProfile* pro) {
    traceLine("initSendTers()");
    bufIndex = 5;
    int total = arrayListGetLength(terList);
    tracef("numChunks: %d\n", total);
    veskGravity* avatar = avatarOf(pro);
    int count = 0;
    while (pro->curCounter < total) {
        veskTerrain* ter = arrayListGet<veskTerrain>(terList, pro->curCounter);
        if (visibleFrom(pro, avatar, ter->chunkCoords)) {
            if (!buffChunk(ter)) {
                if (count > 0) break; // it leads the next batch
                // Larger than any datagram: it could never be sent, so it must not
                // hold up the handshake for ever.
                traceLine("BUG: chunk can not fit in buffer.");
            } else {
                count++;
            }
        }
        pro->curCounter++;
    }
    buf[0] = soInitTer;
    intToBuffer(count, buf + 1);
    tracef("numSent: %d\n", count);
    int sent = sendBuf(&pro->profAddr, pro->addrLen, bufIndex);
    textBoxAddInt(tb, "sendChunk nsent (", sent);
    if (sent < bufIndex) traceLine("send Partial");
    bufIndex = 0;
    tracef("curCounter: %d\n", pro->curCounter);
}

void sendEnts(veskProfile* pro) {
    buf[0] = soInitEnt;
    bufIndex = 1;
    int total = arrayListGetLength(entList);
    veskGravity* avatar = avatarOf(pro);
    while (pro->curCounter < total) {
        veskEntity* ent = arrayListGet<veskEntity>(entList, pro->curCounter);
        if (visibleFrom(pro, avatar, ent->gravMem->chunkCoords) && !buffEnt(ent)) break;
        pro->curCounter++;
    }
    int sent = sendBuf(&pro->profAddr, pro->addrLen, bufIndex);
    textBoxAddInt(tb, "sendEnts nsent (", sent);
    if (sent < bufIndex) traceLine("send Partial");
    bufIndex = 0;
}

// A block of the in-game datagram: its type byte and count lead it at `start`.
struct streamBlock {
    int type;
    int start;
    int count;
};

static void openBlock(streamBlock* b) {
    b->start = bufIndex;
    b->count = 0;
    bufIndex += 5;
}

// Writes the block's head, or removes the block when it holds no record.
static void closeBlock(streamBlock* b) {
    if (b->count == 0) {
        bufIndex = b->start;
        return;
    }
    buf[b->start] = uint8_t(b->type);
    intToBuffer(b->count, buf + b->start + 1);
}

// The next record does not fit: the datagram so far goes out now and the block goes on
// at the start of a fresh one.
static void continueInNewDatagram(veskProfile* pro, streamBlock* b) {
    closeBlock(b);
    if (bufIndex > 1) sendWhole(pro);
    bufIndex = 0;
    openBlock(b);
}

static void putEntUpdate(const veskEntity* ent) {
    const veskGravity* g = ent->gravMem;
    putInt(ent->globalId);
    putInt((g->locChanged ? 1 : 0) + (g->rotChanged ? 1 : 0));
    if (g->locChanged) {
        buf[bufIndex++] = soEntLoc;
        putInt(g->chunkCoords[0]);
        putInt(g->chunkCoords[1]);
        putRaw(g->position, 12);
    }
    if (g->rotChanged) {
        buf[bufIndex++] = soEntRot;
        putRaw(g->rots, 12);
    }
}

void sendEntsTicly(veskProfile* pro) {
    streamBlock block = {soEntUpdate, 0, 0};
    openBlock(&block);
    int first = block.start;
    veskGravity* avatar = avatarOf(pro);
    if (!avatar) {
        closeBlock(&block);
        return;
    }
    int ax = avatar->chunkCoords[0], ay = avatar->chunkCoords[1];
    auto append = [&](const veskEntity* ent, int cx, int cy, int len) {
        if (terRadius(cx - ax, cy - ay) >= pro->terRadius) return;
        if (bufIndex + len > bufSize) {
            tracef("writeEnts Mid (%d -> %d)\n", block.start, bufIndex);
            continueInNewDatagram(pro, &block);
            first = block.start;
        }
        putEntUpdate(ent);
        block.count++;
    };
    if (changesGathered) {
        for (ArrayList* l = changedEnts; l; l = l->next)
            for (int i = 0; i < l->filled; i++) {
                const changedEnt* c = reinterpret_cast<const changedEnt*>(l->data) + i;
                append(c->ent, c->cx, c->cy, c->recordLen);
            }
    } else {
        for (ArrayList* l = entList; l; l = l->next)
            for (int i = 0; i < l->filled; i++) {
                const veskEntity* ent = reinterpret_cast<veskEntity**>(l->data)[i];
                const veskGravity* g = ent->gravMem;
                if (g->locChanged || g->rotChanged)
                    append(ent, g->chunkCoords[0], g->chunkCoords[1], entUpdateLen(g));
            }
    }
    if (block.count > 0) tracef("writeEnts (%d -> %d)\n", first, bufIndex);
    closeBlock(&block);
}

void sendNewChunks(veskProfile* pro) {
    veskGravity* avatar = avatarOf(pro);
    if (!avatar || (avatar->chunkCoords[0] == avatar->chunkCoordsOld[0] &&
                    avatar->chunkCoords[1] == avatar->chunkCoordsOld[1]))
        return;
    streamBlock block = {soInitTer, 0, 0};
    openBlock(&block);
    tracef("numChunks: %d\n", arrayListGetLength(terList));
    // The radius is the client's own number; one less than the lowest int is no int.
    long long ring = (long long)pro->terRadius - 1;
    for (ArrayList* l = terList; l; l = l->next) {
        for (int i = 0; i < l->filled; i++) {
            veskTerrain* ter = reinterpret_cast<veskTerrain**>(l->data)[i];
            int newR = terRadius(ter->chunkCoords[0] - avatar->chunkCoords[0],
                                 ter->chunkCoords[1] - avatar->chunkCoords[1]);
            int oldR = terRadius(ter->chunkCoords[0] - avatar->chunkCoordsOld[0],
                                 ter->chunkCoords[1] - avatar->chunkCoordsOld[1]);
            if (newR != ring || oldR <= ring) continue;
            if (buffChunk(ter)) {
                block.count++;
                continue;
            }
            tracef("writeNewChunks Mid (%d -> %d)\n", block.start, bufIndex);
            continueInNewDatagram(pro, &block);
            if (buffChunk(ter))
                block.count++;
            else
                traceLine("BUG: chunk can not fit in buffer.");
        }
    }
    if (block.count > 0) tracef("writeNewChunks (%d -> %d)\n", block.start, bufIndex);
    closeBlock(&block);
    avatar->chunkCoordsOld[0] = avatar->chunkCoords[0];
    avatar->chunkCoordsOld[1] = avatar->chunkCoords[1];
}

// Head of a chunk update record; returns where its vertex count goes.
static int openChunkRecord(const veskTerrain* ter) {
    putInt(ter->chunkCoords[0]);
    putInt(ter->chunkCoords[1]);
    buf[bufIndex++] = soTerVertMove;
    int countAt = bufIndex;
    bufIndex += 4;
    return countAt;
}

void sendMovedVerts(veskProfile* pro) {
    streamBlock block = {soTerUpdate, 0, 0};
    openBlock(&block);
    veskGravity* avatar = avatarOf(pro);
    constexpr int recordHead = 13, vertLen = 4 + int(sizeof(vertTex));
    for (ArrayList* l = changesGathered ? editedChunks : terList; l; l = l->next) {
        for (int i = 0; i < l->filled; i++) {
            veskTerrain* ter = reinterpret_cast<veskTerrain**>(l->data)[i];
            if (ter->movedVerts->filled == 0 && !ter->movedVerts->next) continue;
            if (!visibleFrom(pro, avatar, ter->chunkCoords)) continue;
            if (bufIndex + recordHead + vertLen > bufSize) continueInNewDatagram(pro, &block);
            int countAt = openChunkRecord(ter);
            int m = 0;
            for (ArrayList* mv = ter->movedVerts; mv; mv = mv->next) {
                for (int k = 0; k < mv->filled; k++) {
                    int32_t index;
                    memcpy(&index, mv->data + 4 * size_t(k), 4);
                    if (index < 0 || index >= ter->numVerts) {
                        traceLine("Bug: sendMovedVerts() Out of Bound vert.");
                        continue;
                    }
                    if (bufIndex + vertLen > bufSize) {
                        // The rest of this chunk's vertices go in a further record.
                        intToBuffer(m, buf + countAt);
                        block.count++;
                        continueInNewDatagram(pro, &block);
                        countAt = openChunkRecord(ter);
                        m = 0;
                    }
                    putInt(index);
                    putRaw(&ter->verts[index], sizeof(vertTex));
                    m++;
                }
            }
            intToBuffer(m, buf + countAt);
            block.count++;
        }
    }
    if (block.count > 0) {
        buf[block.start] = soTerUpdate;
        tracef("writtenChunks: %d (preIndex: %d)\n", block.count, block.start + 1);
    }
    closeBlock(&block);
}
