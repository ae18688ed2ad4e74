// The operator's live page: polls /status.json for the figures and the sessions, and
// /chunks for the terrain, which it draws itself, coloured and shaded as the offline map
// tool (map/mapDraw.cpp) does, with a marker for every player in the game.
'use strict';

// ------------------------------------------------------------------ colours and shading

const palette = [
    [ 86, 140, 60 ],   // 0 grass
    [ 140, 138, 132 ], // 1 rock
    [ 205, 185, 120 ], // 2 sand
    [ 128, 88, 54 ],   // 3 soil
    [ 215, 222, 232 ], // 4 snow
    [ 150, 80, 170 ],
    [ 60, 150, 160 ],
    [ 210, 120, 40 ],
    [ 170, 60, 70 ],
    [ 90, 100, 190 ],
    [ 120, 170, 60 ],
    [ 190, 150, 170 ],
];
const knownTextures = 5;
// The map tool holds the light in floats; Math.fround gives the very same numbers.
const lightDir = [ -0.5, Math.fround(0.70710678), 0.5 ];
const heightSpan = 20;
const backgroundCss = '#1e2228';
const markerCss = '#ffe040';

// ImageData holds the bytes R, G, B, A; the cache writes them as 32-bit words.
const littleEndian = new Uint8Array(new Uint32Array([ 1 ]).buffer)[0] === 1;

function textureColour(texi) {
    if (texi >= 0 && texi < knownTextures) {
        return palette[texi];
    }
    let h = Math.imul(texi, 0x9e3779b1) >>> 0;
    h = (h ^ (h >>> 15)) >>> 0;
    return palette[knownTextures + (h % (palette.length - knownTextures))];
}

// Comparisons that a NaN fails, so that no colour comes from outside 0..255.
function channel(v) {
    if (v >= 255) {
        return 255;
    }
    return v > 0 ? Math.floor(v + 0.5) : 0;
}

function pixelWord(r, g, b) {
    if (littleEndian) {
        return (0xff000000 | (channel(b) << 16) | (channel(g) << 8) | channel(r)) >>> 0;
    }
    return ((channel(r) << 24) | (channel(g) << 16) | (channel(b) << 8) | 0xff) >>> 0;
}

const backgroundWord = pixelWord(0x1e, 0x22, 0x28);

// Flat ground at height 0 keeps the palette colour; slopes towards the light are brighter
// and slopes away darker, with ambient light so that none goes black; higher ground is
// brighter and lower darker, easing off with distance.
function faceShade(ax, ay, az, bx, by, bz, cx, cy, cz) {
    const ux = bx - ax;
    const uy = by - ay;
    const uz = bz - az;
    const vx = cx - ax;
    const vy = cy - ay;
    const vz = cz - az;
    const nx = uy * vz - uz * vy;
    const ny = uz * vx - ux * vz;
    const nz = ux * vy - uy * vx;
    const len = Math.sqrt(nx * nx + ny * ny + nz * nz);
    let slope = 1;
    if (len > 0 && Number.isFinite(len)) {
        // A face turned over by the brushes is still ground: light its upper side.
        const side = ny < 0 ? -1 : 1;
        const lit = (side * (nx * lightDir[0] + ny * lightDir[1] + nz * lightDir[2])) / len;
        slope = 0.4 + (0.6 * Math.max(lit, 0)) / lightDir[1];
    }
    const height = (ay + by + cy) / 3;
    return slope * (1 + 0.5 * Math.tanh(height / heightSpan));
}

// The average of the face's three vertex colours, shaded. xz holds world X and Z of each
// vertex, ys its height and texis its texture index.
function faceWord(xz, ys, texis, a, b, c) {
    const shade = faceShade(xz[2 * a], ys[a], xz[2 * a + 1], xz[2 * b], ys[b], xz[2 * b + 1],
                            xz[2 * c], ys[c], xz[2 * c + 1]) /
                  3;
    const ca = textureColour(texis[a]);
    const cb = textureColour(texis[b]);
    const cc = textureColour(texis[c]);
    return pixelWord((ca[0] + cb[0] + cc[0]) * shade, (ca[1] + cb[1] + cc[1]) * shade,
                     (ca[2] + cb[2] + cc[2]) * shade);
}

// --------------------------------------------------------------------------- chunks

// Kept as the server computes them, in floats, so that neighbouring chunks meet exactly.
function chunkCentre(cx, cy) {
    const x = Math.fround(10 * (0.5000000000000001 * (3 * cx)));
    let z = Math.fround(10 * (0.8660254037844386 * cx));
    z = Math.fround(z + 10 * (0.8660254037844386 * (2 * cy)));
    return [ x, z ];
}

// Faces naming a vertex the chunk does not have are left out rather than trusted.
function validFaces(faces, nv) {
    let valid = true;
    for (let i = 0; i < faces.length; i++) {
        if (faces[i] >= nv) {
            valid = false;
            break;
        }
    }
    if (valid) {
        return faces;
    }
    const kept = [];
    for (let f = 0; f + 2 < faces.length; f += 3) {
        if (faces[f] < nv && faces[f + 1] < nv && faces[f + 2] < nv) {
            kept.push(faces[f], faces[f + 1], faces[f + 2]);
        }
    }
    return Uint32Array.from(kept);
}

let scratchHeights = new Float32Array(256);
let scratchTextures = new Int32Array(256);

// Everything drawing needs, worked out once when the chunk arrives: world X and Z of its
// vertices, the colour of every face and the box around it.
function readChunk(data, p, cx, cy, nv, faces) {
    if (scratchHeights.length < nv) {
        scratchHeights = new Float32Array(nv);
        scratchTextures = new Int32Array(nv);
    }
    const [ox, oz] = chunkCentre(cx, cy);
    const xz = new Float32Array(2 * nv);
    const chunk = Object.assign({cx, cy, xz, faces : null, colours : null}, emptyBox());
    for (let i = 0; i < nv; i++, p += 16) {
        xz[2 * i] = ox + data.getFloat32(p, true);
        xz[2 * i + 1] = oz + data.getFloat32(p + 8, true);
        scratchHeights[i] = data.getFloat32(p + 4, true);
        scratchTextures[i] = data.getInt32(p + 12, true);
        growBox(chunk, xz[2 * i], xz[2 * i + 1]);
    }
    chunk.faces = validFaces(faces, nv);
    chunk.colours = new Uint32Array(chunk.faces.length / 3);
    for (let f = 0; f < chunk.colours.length; f++) {
        const k = 3 * f;
        chunk.colours[f] = faceWord(xz, scratchHeights, scratchTextures, chunk.faces[k],
                                    chunk.faces[k + 1], chunk.faces[k + 2]);
    }
    return chunk;
}

// A NaN fails both comparisons and leaves the box as it was.
function growBox(box, x, z) {
    if (x < box.minX) box.minX = x;
    if (x > box.maxX) box.maxX = x;
    if (z < box.minZ) box.minZ = z;
    if (z > box.maxZ) box.maxZ = z;
}

function boxIsFinite(box) {
    return Number.isFinite(box.minX) && Number.isFinite(box.maxX) && Number.isFinite(box.minZ) &&
           Number.isFinite(box.maxZ);
}

const chunks = new Map(); // "cx,cy" -> chunk
// The box around all chunks; it only grows as chunks come, and is measured afresh when the
// operator asks for the whole world.
let extent = emptyBox();
let mapVersion = 0;
// Whether a whole answer has come yet.
let mapLoaded = false;

function emptyBox() {
    return {minX : Infinity, maxX : -Infinity, minZ : Infinity, maxZ : -Infinity};
}

function storeChunk(chunk) {
    const key = chunk.cx + ',' + chunk.cy;
    const old = chunks.get(key);
    chunks.set(key, chunk);
    if (old && boxIsFinite(old)) {
        markDirty(old);
    }
    if (boxIsFinite(chunk)) {
        markDirty(chunk);
        growBox(extent, chunk.minX, chunk.minZ);
        growBox(extent, chunk.maxX, chunk.maxZ);
    }
}

// ------------------------------------------------------------------ reading /chunks

const endMark = 0xffffffff;
const standardFaces = 0xffffffff;
// Bounds far beyond any real chunk, so that a damaged answer cannot make the page wait
// for gigabytes.
const maxVertices = 1 << 20;
const maxFaces = 1 << 22;

// The bytes of one answer as they stream in: a buffer that doubles when full, with the
// unread rest moved to its front first, so nothing is copied more than a few times.
class ByteQueue {
    constructor() {
        this.bytes = new Uint8Array(1 << 16);
        this.data = new DataView(this.bytes.buffer);
        this.start = 0;
        this.end = 0;
    }

    get length() { return this.end - this.start; }

    push(piece) {
        if (this.end + piece.length > this.bytes.length) {
            this.bytes.copyWithin(0, this.start, this.end);
            this.end -= this.start;
            this.start = 0;
        }
        if (this.end + piece.length > this.bytes.length) {
            const grown = new Uint8Array(Math.max(2 * this.bytes.length, this.end + piece.length));
            grown.set(this.bytes.subarray(0, this.end));
            this.bytes = grown;
            this.data = new DataView(grown.buffer);
        }
        this.bytes.set(piece, this.end);
        this.end += piece.length;
    }
}

class AnswerError extends Error {}

// An answer the server refused, with its HTTP status.
class RefusedError extends Error {}

function troubleText(error) {
    if (error instanceof AnswerError) {
        return 'map answer unreadable: ' + error.message;
    }
    if (error instanceof RefusedError) {
        return 'server answered ' + error.message;
    }
    return 'server unreachable';
}

// Takes from the queue whatever is complete, up to `limit` chunks: the header first, then
// chunk records, each stored as soon as it is whole. Returns the number of chunks stored.
function parseAvailable(queue, answer, limit) {
    const data = queue.data;
    if (!answer.faces) {
        if (queue.length < 12) {
            return 0;
        }
        const p = queue.start;
        const magic = String.fromCharCode(queue.bytes[p], queue.bytes[p + 1], queue.bytes[p + 2],
                                          queue.bytes[p + 3]);
        if (magic !== 'QCH1') {
            throw new AnswerError('not a chunk answer');
        }
        const count = data.getUint32(p + 8, true);
        if (count > maxFaces) {
            throw new AnswerError('too many standard faces');
        }
        if (queue.length < 12 + 12 * count) {
            return 0;
        }
        answer.version = data.getUint32(p + 4, true);
        answer.faces = new Uint32Array(3 * count);
        for (let i = 0; i < 3 * count; i++) {
            answer.faces[i] = data.getUint32(p + 12 + 4 * i, true);
        }
        queue.start += 12 + 12 * count;
    }
    let stored = 0;
    while (!answer.complete && stored < limit && queue.length >= 16) {
        const p = queue.start;
        const cx = data.getInt32(p, true);
        const cy = data.getInt32(p + 4, true);
        const nv = data.getUint32(p + 8, true);
        const nf = data.getUint32(p + 12, true);
        if (nv === endMark) {
            answer.complete = true;
            queue.start += 16;
            break;
        }
        if (nv > maxVertices || (nf !== standardFaces && nf > maxFaces)) {
            throw new AnswerError('chunk too large');
        }
        const faceBytes = nf === standardFaces ? 0 : 12 * nf;
        if (queue.length < 16 + 16 * nv + faceBytes) {
            break;
        }
        let faces = answer.faces;
        if (nf !== standardFaces) {
            faces = new Uint32Array(3 * nf);
            const q = p + 16 + 16 * nv;
            for (let i = 0; i < 3 * nf; i++) {
                faces[i] = data.getUint32(q + 4 * i, true);
            }
        }
        storeChunk(readChunk(data, p + 16, cx, cy, nv, faces));
        queue.start += 16 + 16 * nv + faceBytes;
        stored++;
    }
    return stored;
}

// Chunks worked out between two looks at the page's other work: a piece of the answer may
// hold thousands, and the map must stay draggable while they are read.
const chunksPerTurn = 256;

async function storeAvailable(queue, answer) {
    for (;;) {
        const stored = parseAvailable(queue, answer, chunksPerTurn);
        if (stored > 0) {
            mapChanged();
        }
        if (stored < chunksPerTurn) {
            return;
        }
        await new Promise((resolve) => setTimeout(resolve, 0));
    }
}

// A stream that stalls this long is given up and asked again.
const chunkIdleMs = 15000;

// Brings the map up to date with one /chunks answer. Chunks are kept as they complete, so
// an answer cut short still shows what came; only a whole answer moves mapVersion on.
async function fetchChunks() {
    const abort = new AbortController();
    let idle = setTimeout(() => abort.abort(), chunkIdleMs);
    const answer = {version : 0, faces : null, complete : false};
    const queue = new ByteQueue();
    try {
        const response =
            await fetch('/chunks?since=' + mapVersion, {cache : 'no-store', signal : abort.signal});
        if (!response.ok) {
            throw new RefusedError(response.status + ' ' + response.statusText);
        }
        const reader = response.body.getReader();
        for (;;) {
            const {done, value} = await reader.read();
            if (done) {
                break;
            }
            clearTimeout(idle);
            idle = setTimeout(() => abort.abort(), chunkIdleMs);
            queue.push(value);
            await storeAvailable(queue, answer);
            if (answer.complete) {
                break;
            }
        }
    } finally {
        clearTimeout(idle);
        abort.abort();
    }
    if (answer.complete) {
        mapVersion = answer.version;
        mapLoaded = true;
    }
    return answer.complete;
}

const chunkPeriodMs = 2000;

async function pollChunks() {
    try {
        const complete = await fetchChunks();
        setTrouble('chunks', complete ? null : 'map answer cut short');
    } catch (error) {
        setTrouble('chunks', troubleText(error));
    }
    showMapInfo();
    setTimeout(pollChunks, chunkPeriodMs);
}

// ------------------------------------------------------------------ the terrain cache

const canvas = document.getElementById('map');
const mapContext = canvas.getContext('2d');

// Device pixels: a world point (x, z) lies at ((x - left) * scale, (top - z) * scale).
const view = {
    left : -100,
    top : 100,
    scale : 4
};
// Whether the view still follows the world's extent: until the operator pans or zooms.
let autoFit = true;

// A picture of the terrain: its pixels and the view they were drawn at.
function makeRaster(width, height) {
    const image = new ImageData(width, height);
    return {
        image,
        pixels : new Uint32Array(image.data.buffer),
        width,
        height,
        left : 0,
        top : 0,
        scale : 1
    };
}

// The terrain last drawn, shown on the screen moved and scaled to the current view until
// the next whole redraw is done (while dragging, or while the world streams in).
const cache = {
    canvas : document.createElement('canvas'),
    context : null,
    raster : null,
};
cache.context = cache.canvas.getContext('2d');
// A whole redraw under way: drawn a slice at a time, between frames, so that a world of
// tens of thousands of chunks never holds the page up for long.
let job = null;
// Rasters that lost their place on the screen, kept for the next redraw of the same size.
let spareRaster = null;
// Chunks changed since the cache was drawn: boxes to draw again, or a whole redraw.
let dirtyBoxes = [];
let dirtyAll = false;
// Beyond this many changed places one redraw of everything is cheaper than one each.
const maxDirtyBoxes = 16;

function markDirty(box) {
    if (dirtyBoxes.length < maxDirtyBoxes) {
        dirtyBoxes.push(box);
    } else {
        dirtyAll = true;
    }
}

// Where the rasteriser writes, at what view, and the rectangle of pixels it may touch
// (right and bottom exclusive).
let target = null;
let targetWidth = 0;
let targetLeft = 0;
let targetTop = 0;
let targetScale = 1;
let clipLeft = 0;
let clipTop = 0;
let clipRight = 0;
let clipBottom = 0;
let tolerance = 0;
let spanLeft = 0;
let spanRight = 0;

function aim(raster, x0, y0, x1, y1) {
    target = raster.pixels;
    targetWidth = raster.width;
    targetLeft = raster.left;
    targetTop = raster.top;
    targetScale = raster.scale;
    clipLeft = Math.max(0, x0);
    clipTop = Math.max(0, y0);
    clipRight = Math.min(raster.width, x1);
    clipBottom = Math.min(raster.height, y1);
}

function clearClip() {
    for (let y = clipTop; y < clipBottom; y++) {
        target.fill(backgroundWord, y * targetWidth + clipLeft, y * targetWidth + clipRight);
    }
}

// Widens the span of the current row by where the edge from a to b crosses it.
function crossEdge(ax, ay, bx, by, row) {
    if ((row < ay && row < by) || (row > ay && row > by)) {
        return;
    }
    if (ay === by) {
        // An edge lying along the row counts whole.
        spanLeft = Math.min(spanLeft, ax, bx);
        spanRight = Math.max(spanRight, ax, bx);
        return;
    }
    const x = ax + ((row - ay) / (by - ay)) * (bx - ax);
    spanLeft = Math.min(spanLeft, x);
    spanRight = Math.max(spanRight, x);
}

function min3(a, b, c) { return a < b ? (a < c ? a : c) : b < c ? b : c; }

function max3(a, b, c) { return a > b ? (a > c ? a : c) : b > c ? b : c; }

// Fills every pixel whose centre lies inside the triangle or on its edges, as the map
// tool does: triangles sharing an edge leave no gap, and no antialiased seams show. Two
// chunks' copies of a shared edge may differ by a float's last bit, so a pixel centre
// within `tolerance` of the triangle counts as inside: no row or column falls between.
function fillTriangle(ax, ay, bx, by, cx, cy, word) {
    const lo = min3(ay, by, cy);
    const hi = max3(ay, by, cy);
    const rowFirst = Math.max(clipTop, Math.ceil(lo - 0.5 - tolerance));
    const rowLast = Math.min(clipBottom - 1, Math.floor(hi - 0.5 + tolerance));
    if (rowFirst > rowLast) {
        return;
    }
    // Zoomed out, most triangles hold no pixel centre at all: leave them at once.
    const columnFirst = Math.ceil(min3(ax, bx, cx) - 0.5 - tolerance);
    const columnLast = Math.floor(max3(ax, bx, cx) - 0.5 + tolerance);
    if (columnFirst > columnLast || columnLast < clipLeft || columnFirst >= clipRight) {
        return;
    }
    for (let y = rowFirst; y <= rowLast; y++) {
        const row = Math.min(Math.max(y + 0.5, lo), hi);
        spanLeft = Infinity;
        spanRight = -Infinity;
        crossEdge(ax, ay, bx, by, row);
        crossEdge(bx, by, cx, cy, row);
        crossEdge(cx, cy, ax, ay, row);
        const first = Math.max(clipLeft, Math.ceil(spanLeft - 0.5 - tolerance));
        const last = Math.min(clipRight - 1, Math.floor(spanRight - 0.5 + tolerance));
        const base = y * targetWidth;
        for (let x = first; x <= last; x++) {
            target[base + x] = word;
        }
    }
}

// A few units in the last place of the chunk's largest coordinate, in pixels, and at least
// a thousandth of a pixel (the map tool allows a ten-thousandth, across rows only).
function toleranceFor(chunk) {
    const magnitude = Math.max(Math.abs(chunk.minX), Math.abs(chunk.maxX), Math.abs(chunk.minZ),
                               Math.abs(chunk.maxZ));
    return 1e-3 + targetScale * magnitude * 2 ** -21;
}

let screenXs = new Float64Array(256);
let screenYs = new Float64Array(256);

function chunkTouchesClip(chunk) {
    const x0 = (chunk.minX - targetLeft) * targetScale;
    const x1 = (chunk.maxX - targetLeft) * targetScale;
    const y0 = (targetTop - chunk.maxZ) * targetScale;
    const y1 = (targetTop - chunk.minZ) * targetScale;
    return x1 >= clipLeft - 1 && x0 <= clipRight + 1 && y1 >= clipTop - 1 && y0 <= clipBottom + 1;
}

function drawChunk(chunk) {
    if (!chunkTouchesClip(chunk)) {
        return;
    }
    const nv = chunk.xz.length / 2;
    if (screenXs.length < nv) {
        screenXs = new Float64Array(nv);
        screenYs = new Float64Array(nv);
    }
    tolerance = toleranceFor(chunk);
    // Each vertex is placed once, not once for each of its faces.
    for (let i = 0; i < nv; i++) {
        screenXs[i] = (chunk.xz[2 * i] - targetLeft) * targetScale;
        screenYs[i] = (targetTop - chunk.xz[2 * i + 1]) * targetScale;
    }
    const faces = chunk.faces;
    const colours = chunk.colours;
    for (let f = 0; f < colours.length; f++) {
        const a = faces[3 * f];
        const b = faces[3 * f + 1];
        const c = faces[3 * f + 2];
        fillTriangle(screenXs[a], screenYs[a], screenXs[b], screenYs[b], screenXs[c], screenYs[c],
                     colours[f]);
    }
}

function startJob() {
    const raster =
        spareRaster && spareRaster.width === canvas.width && spareRaster.height === canvas.height
            ? spareRaster
            : makeRaster(canvas.width, canvas.height);
    spareRaster = null;
    raster.left = view.left;
    raster.top = view.top;
    raster.scale = view.scale;
    raster.pixels.fill(backgroundWord);
    // What changes from now on the job may or may not catch: it is drawn again after.
    dirtyBoxes = [];
    dirtyAll = false;
    job = {raster, rest : chunks.values(), started : performance.now(), work : 0};
}

const sliceMs = 12;

// Draws chunks until the slice is spent; the finished picture goes on the screen.
function continueJob() {
    const begun = performance.now();
    aim(job.raster, 0, 0, job.raster.width, job.raster.height);
    for (let n = 1;; n++) {
        const next = job.rest.next();
        if (next.done) {
            break;
        }
        drawChunk(next.value);
        if (n % 16 === 0 && performance.now() > begun + sliceMs) {
            job.work += performance.now() - begun;
            return;
        }
    }
    const now = performance.now();
    lastJobWork = job.work + (now - begun);
    lastJobEnd = now;
    if (cache.canvas.width !== job.raster.width || cache.canvas.height !== job.raster.height) {
        cache.canvas.width = job.raster.width;
        cache.canvas.height = job.raster.height;
    }
    cache.context.putImageData(job.raster.image, 0, 0);
    spareRaster = cache.raster;
    cache.raster = job.raster;
    job = null;
}

// Draws the pixels around each changed place afresh from every chunk there.
function redrawDirty() {
    const raster = cache.raster;
    const boxes = dirtyBoxes;
    dirtyBoxes = [];
    for (const box of boxes) {
        // A pixel beyond the box on every side: its edges' pixels may have changed hands.
        const x0 = Math.floor((box.minX - raster.left) * raster.scale) - 1;
        const x1 = Math.ceil((box.maxX - raster.left) * raster.scale) + 2;
        const y0 = Math.floor((raster.top - box.maxZ) * raster.scale) - 1;
        const y1 = Math.ceil((raster.top - box.minZ) * raster.scale) + 2;
        aim(raster, x0, y0, x1, y1);
        if (clipLeft >= clipRight || clipTop >= clipBottom) {
            continue;
        }
        clearClip();
        for (const chunk of chunks.values()) {
            drawChunk(chunk);
        }
        cache.context.putImageData(raster.image, 0, 0, clipLeft, clipTop, clipRight - clipLeft,
                                   clipBottom - clipTop);
    }
}

// ---------------------------------------------------------------------- the screen

// A whole redraw waits until the view has rested this long. Redraws the operator did
// not ask for (the world streaming in, many edits) leave twice their own work free between
// them, so that a large world loads at nearly full speed.
const settleMs = 150;
let lastInteraction = -Infinity;
let lastJobEnd = -Infinity;
let lastJobWork = 0;
let framePending = false;
let laterTimer = 0;

function requestFrame() {
    if (!framePending) {
        framePending = true;
        requestAnimationFrame(frame);
    }
}

function frameLater(delayMs) {
    if (!laterTimer) {
        laterTimer = setTimeout(() => {
            laterTimer = 0;
            requestFrame();
        }, delayMs);
    }
}

function rasterMatchesView(raster) {
    return (raster !== null && raster.left === view.left && raster.top === view.top &&
            raster.scale === view.scale && raster.width === canvas.width &&
            raster.height === canvas.height);
}

function frame() {
    framePending = false;
    // A redraw for a view the operator has since left, or a canvas since resized, is
    // dropped; one the world's streaming in moved on is finished first, or none would end.
    if (job && (job.started < lastInteraction || job.raster.width !== canvas.width ||
                job.raster.height !== canvas.height)) {
        spareRaster = job.raster;
        job = null;
    }
    if (!job && (dirtyAll || !rasterMatchesView(cache.raster))) {
        const asked = lastInteraction > lastJobEnd;
        const ready = asked ? lastInteraction + settleMs : lastJobEnd + 2 * lastJobWork;
        const wait = ready - performance.now();
        if (wait <= 0 || !cache.raster) {
            startJob();
        } else {
            frameLater(wait);
        }
    }
    if (job) {
        continueJob();
        requestFrame();
    } else if (dirtyBoxes.length > 0 && rasterMatchesView(cache.raster)) {
        redrawDirty();
    }
    compose();
}

function compose() {
    mapContext.setTransform(1, 0, 0, 1, 0, 0);
    mapContext.fillStyle = backgroundCss;
    mapContext.fillRect(0, 0, canvas.width, canvas.height);
    const shown = cache.raster;
    if (shown) {
        const k = view.scale / shown.scale;
        mapContext.imageSmoothingEnabled = k < 1;
        mapContext.setTransform(k, 0, 0, k, (shown.left - view.left) * view.scale,
                                (view.top - shown.top) * view.scale);
        mapContext.drawImage(cache.canvas, 0, 0);
        mapContext.setTransform(1, 0, 0, 1, 0, 0);
    }
    drawMarkers();
}

// Names longer than this are cut on the map; the list shows them whole.
const maxLabel = 32;

function drawMarkers() {
    const px = pixelRatio();
    mapContext.font = Math.round(12 * px) + 'px system-ui, sans-serif';
    mapContext.textBaseline = 'middle';
    mapContext.lineJoin = 'round';
    for (const session of playersInGame()) {
        const x = (session.world[0] - view.left) * view.scale;
        const y = (view.top - session.world[2]) * view.scale;
        mapContext.beginPath();
        mapContext.arc(x, y, 5 * px, 0, 2 * Math.PI);
        mapContext.fillStyle = markerCss;
        mapContext.fill();
        mapContext.lineWidth = 2 * px;
        mapContext.strokeStyle = '#000';
        mapContext.stroke();
        const name = session.name.length > maxLabel ? session.name.slice(0, maxLabel - 1) + '…'
                                                    : session.name;
        mapContext.lineWidth = 3 * px;
        mapContext.strokeStyle = 'rgba(0, 0, 0, 0.85)';
        mapContext.strokeText(name, x + 9 * px, y);
        mapContext.fillStyle = '#fff';
        mapContext.fillText(name, x + 9 * px, y);
    }
}

function playersInGame() {
    const sessions =
        (lastStatus && Array.isArray(lastStatus.sessions) && lastStatus.sessions) || [];
    return sessions.filter(
        (s) => s && s.stage === 'game' && typeof s.name === 'string' && Array.isArray(s.world) &&
               Number.isFinite(s.world[0]) && Number.isFinite(s.world[2]),
    );
}

function mapChanged() {
    if (autoFit) {
        fitWorld();
    }
    showMapInfo();
    requestFrame();
}

// ------------------------------------------------------------------- view changes

function pixelRatio() { return window.devicePixelRatio || 1; }

function worldExtent() {
    const box = emptyBox();
    for (const chunk of chunks.values()) {
        if (boxIsFinite(chunk)) {
            growBox(box, chunk.minX, chunk.minZ);
            growBox(box, chunk.maxX, chunk.maxZ);
        }
    }
    return box;
}

const minScale = 1e-3;
const maxScale = 400;
const fitMargin = 24; // CSS pixels around the world

function fitWorld() {
    const box = extent;
    if (!boxIsFinite(box)) {
        return;
    }
    const margin = fitMargin * pixelRatio();
    const width = Math.max(1, canvas.width - 2 * margin);
    const height = Math.max(1, canvas.height - 2 * margin);
    const spanX = Math.max(box.maxX - box.minX, 1e-3);
    const spanZ = Math.max(box.maxZ - box.minZ, 1e-3);
    view.scale = clampScale(Math.min(width / spanX, height / spanZ));
    view.left = (box.minX + box.maxX) / 2 - canvas.width / 2 / view.scale;
    view.top = (box.minZ + box.maxZ) / 2 + canvas.height / 2 / view.scale;
}

function clampScale(scale) { return Math.min(maxScale, Math.max(minScale, scale)); }

function touchView() {
    autoFit = false;
    lastInteraction = performance.now();
    requestFrame();
}

function pan(dx, dy) {
    view.left -= dx / view.scale;
    view.top += dy / view.scale;
    touchView();
}

// Scales by `factor` keeping the world point under (x, y) (device pixels) where it is.
function zoomAt(x, y, factor) {
    const worldX = view.left + x / view.scale;
    const worldZ = view.top - y / view.scale;
    view.scale = clampScale(view.scale * factor);
    view.left = worldX - x / view.scale;
    view.top = worldZ + y / view.scale;
    touchView();
}

// The event's place on the canvas in device pixels.
function canvasPoint(event) {
    const rect = canvas.getBoundingClientRect();
    const ratio = rect.width > 0 ? canvas.width / rect.width : 1;
    return {x : (event.clientX - rect.left) * ratio, y : (event.clientY - rect.top) * ratio};
}

// Pointers down on the map: one drags it, two pinch it.
const pointers = new Map();

function onPointerDown(event) {
    pointers.set(event.pointerId, canvasPoint(event));
    // Captured, a drag goes on outside the canvas. A pointer already lifted cannot be; the
    // drag then lasts while the pointer stays over the canvas.
    try {
        canvas.setPointerCapture(event.pointerId);
    } catch (error) {
        return;
    }
}

function onPointerMove(event) {
    const before = pointers.get(event.pointerId);
    if (!before) {
        return;
    }
    // Lifted where the canvas could not see it: the drag is over.
    if (event.buttons === 0) {
        pointers.delete(event.pointerId);
        return;
    }
    const now = canvasPoint(event);
    if (pointers.size === 1) {
        pan(now.x - before.x, now.y - before.y);
    } else if (pointers.size === 2) {
        const other = [...pointers.entries() ].find(([ id ]) => id !== event.pointerId)[1];
        const oldMid = {x : (before.x + other.x) / 2, y : (before.y + other.y) / 2};
        const newMid = {x : (now.x + other.x) / 2, y : (now.y + other.y) / 2};
        const oldSpan = Math.hypot(before.x - other.x, before.y - other.y);
        const newSpan = Math.hypot(now.x - other.x, now.y - other.y);
        pan(newMid.x - oldMid.x, newMid.y - oldMid.y);
        if (oldSpan > 0 && newSpan > 0) {
            zoomAt(newMid.x, newMid.y, newSpan / oldSpan);
        }
    }
    pointers.set(event.pointerId, now);
}

function onPointerUp(event) { pointers.delete(event.pointerId); }

// Wheel deltas come in pixels, lines or pages; a line is taken as 16 pixels.
function onWheel(event) {
    event.preventDefault();
    const unit = event.deltaMode === 1 ? 16 : event.deltaMode === 2 ? 400 : 1;
    const point = canvasPoint(event);
    zoomAt(point.x, point.y, Math.exp(-event.deltaY * unit * 0.0015));
}

// Keeps the world point at the centre of the canvas where it was, at the same scale.
function onResize() {
    const ratio = pixelRatio();
    const width = Math.max(1, Math.round(canvas.clientWidth * ratio));
    const height = Math.max(1, Math.round(canvas.clientHeight * ratio));
    if (width === canvas.width && height === canvas.height) {
        return;
    }
    const centreX = view.left + canvas.width / 2 / view.scale;
    const centreZ = view.top - canvas.height / 2 / view.scale;
    canvas.width = width;
    canvas.height = height;
    view.left = centreX - width / 2 / view.scale;
    view.top = centreZ + height / 2 / view.scale;
    if (autoFit) {
        fitWorld();
    }
    // The canvas was cleared by its new size: show something at once.
    compose();
    requestFrame();
}

// ----------------------------------------------------------------------- the status

let lastStatus = null;
const statusPeriodMs = 1000;
const statusTimeoutMs = 4000;
// The sessions list shows at most this many; the figures count them all.
const maxListed = 500;

const numberFormat = new Intl.NumberFormat('en-US');

function formatCount(v) { return Number.isFinite(v) ? numberFormat.format(v) : '–'; }

function formatMs(v) { return Number.isFinite(v) ? v.toFixed(2) + ' ms' : '–'; }

function formatUptime(seconds) {
    if (!Number.isFinite(seconds) || seconds < 0) {
        return '–';
    }
    const s = Math.floor(seconds);
    const days = Math.floor(s / 86400);
    const clock = [ Math.floor(s / 3600) % 24, Math.floor(s / 60) % 60, s % 60 ]
                      .map((n) => String(n).padStart(2, '0'))
                      .join(':');
    return days > 0 ? days + ' d ' + clock : clock;
}

function setText(id, text) { document.getElementById(id).textContent = text; }

function showStatus(status) {
    setText('version', typeof status.version === 'string' ? status.version : '–');
    setText('uptime', formatUptime(status.uptimeSeconds));
    setText('playing', formatCount(status.playing));
    setText('connecting', formatCount(status.connecting));
    setText('accounts', formatCount(status.accounts));
    setText('chunks', formatCount(status.chunks));
    setText('entities', formatCount(status.entities));
    setText('ticks', formatCount(status.ticks));
    setText('tickMean', formatMs(status.tickMeanMs));
    setText('tickMax', formatMs(status.tickMaxMs));
    setText('dropped', formatCount(status.datagramsDropped));
    setText('systemDropped', formatCount(status.systemDropped));
    setText('worldVersion', formatCount(status.worldVersion));
    showSessions(Array.isArray(status.sessions) ? status.sessions : []);
}

const knownStages = [ 'key', 'terrain', 'entities', 'mark', 'game' ];

function cell(className, text) {
    const span = document.createElement('span');
    span.className = className;
    span.textContent = text;
    return span;
}

// Client text goes in only as textContent: a name is never read as markup.
function sessionItem(session) {
    const item = document.createElement('li');
    const stage = String(session.stage);
    const chunk = Array.isArray(session.chunk) ? 'chunk ' + session.chunk.join(', ') : '';
    item.append(
        cell('name', String(session.name)),
        cell('seconds', formatCount(session.seconds) + ' s'),
        cell(knownStages.includes(stage) ? 'stage stage-' + stage : 'stage', stage),
        cell('chunk', chunk),
    );
    return item;
}

function noteItem(text) {
    const item = document.createElement('li');
    item.append(cell('empty', text));
    return item;
}

function showSessions(sessions) {
    const items = sessions.slice(0, maxListed).filter(Boolean).map(sessionItem);
    if (sessions.length > maxListed) {
        items.push(noteItem('and ' + formatCount(sessions.length - maxListed) + ' more'));
    }
    if (sessions.length === 0) {
        items.push(noteItem('nobody connected'));
    }
    document.getElementById('players').replaceChildren(...items);
}

async function fetchStatus() {
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), statusTimeoutMs);
    try {
        const response = await fetch('/status.json', {cache : 'no-store', signal : abort.signal});
        if (!response.ok) {
            throw new RefusedError(response.status + ' ' + response.statusText);
        }
        return await response.json();
    } finally {
        clearTimeout(timer);
    }
}

// Every second from the start of the last poll, whatever the answer took.
async function pollStatus() {
    const started = performance.now();
    try {
        lastStatus = await fetchStatus();
        showStatus(lastStatus);
        setTrouble('status', null);
        requestFrame();
    } catch (error) {
        setTrouble('status', troubleText(error));
    }
    setTimeout(pollStatus, Math.max(0, statusPeriodMs - (performance.now() - started)));
}

// ------------------------------------------------------------------------- notes

// What went wrong with each poll; the note shows the first of them.
const troubles = {
    status : null,
    chunks : null
};

function setTrouble(source, message) {
    troubles[source] = message;
    const note = document.getElementById('unreachable');
    const shown = troubles.status || troubles.chunks;
    note.hidden = !shown;
    if (shown) {
        note.textContent = shown;
    }
}

// Until the first whole answer the map is still loading; after, it shows the version of
// the last whole answer, which a failed poll leaves as it was.
function showMapInfo() {
    const state = mapLoaded ? 'version ' + formatCount(mapVersion) : 'loading';
    setText('mapInfo', 'map: ' + formatCount(chunks.size) + ' chunks, ' + state);
}

// ------------------------------------------------------------------------ start

function start() {
    canvas.addEventListener('pointerdown', onPointerDown);
    canvas.addEventListener('pointermove', onPointerMove);
    canvas.addEventListener('pointerup', onPointerUp);
    canvas.addEventListener('pointercancel', onPointerUp);
    canvas.addEventListener('wheel', onWheel, {passive : false});
    // The whole world again, and kept whole as it grows, until the next pan or zoom.
    document.getElementById('fit').addEventListener('click', () => {
        extent = worldExtent();
        autoFit = true;
        fitWorld();
        requestFrame();
    });
    new ResizeObserver(onResize).observe(canvas);
    onResize();
    pollStatus();
    pollChunks();
}

start();
