// Drawing the world map: a scanline fill of every terrain triangle from above, and the
// lines, dots and tiny digits of the overlays. All geometry is in world units until the
// last step, where pixelOf turns it into picture coordinates.
#include "mapDraw.h"

#include <algorithm>
#include <cmath>

constexpr uint32_t background = 0xff1e2228;
constexpr uint32_t originColour = 0xffe02828;
constexpr uint32_t entityColour = 0xffffe040;
constexpr uint32_t inkColour = 0xffdcdcdc;

// Known textures: 0 is the generated ground, 1 to 4 what the texture brush paints. Any
// other index a file may hold takes one of the remaining colours by a hash.
struct rgb {
    float r, g, b;
};
constexpr rgb palette[] = {
    {86, 140, 60},   // 0 grass
    {140, 138, 132}, // 1 rock
    {205, 185, 120}, // 2 sand
    {128, 88, 54},   // 3 soil
    {215, 222, 232}, // 4 snow
    {150, 80, 170},  {60, 150, 160}, {210, 120, 40},  {170, 60, 70},
    {90, 100, 190},  {120, 170, 60}, {190, 150, 170},
};
constexpr int knownTextures = 5;
constexpr int paletteSize = sizeof palette / sizeof palette[0];

// Light from the left and the top of the picture, 45 degrees above the ground.
constexpr float lightDir[3] = {-0.5f, 0.70710678f, 0.5f};
// Heights are brightened by tanh(height / heightSpan): a hill of a few dozen brush strokes
// stands out, and nothing, however high or deep, turns white or black by height alone.
constexpr float heightSpan = 20.0f;

static rgb textureColour(int32_t texi) {
    if (texi >= 0 && texi < knownTextures) return palette[texi];
    uint32_t h = uint32_t(texi) * 0x9e3779b1u;
    h ^= h >> 15;
    return palette[knownTextures + int(h % uint32_t(paletteSize - knownTextures))];
}

static uint32_t packColour(float r, float g, float b) {
    // Comparisons that a NaN fails, so that no colour can come from outside 0..255.
    auto channel = [](float v) { return v >= 255 ? 255u : v > 0 ? uint32_t(v + 0.5f) : 0u; };
    return 0xff000000u | channel(r) << 16 | channel(g) << 8 | channel(b);
}

static void pixelOf(const mapPicture* pic, float x, float z, float* px, float* py) {
    *px = float(mapMargin) + (x - pic->left) * pic->scale;
    *py = float(mapMargin) + (pic->top - z) * pic->scale;
}

static void putPixel(mapPicture* pic, int x, int y, uint32_t colour) {
    if (x < 0 || y < 0 || x >= pic->width || y >= pic->height) return;
    pic->pixels[size_t(y) * size_t(pic->pitch) + size_t(x)] = colour;
}

// Chunks are kept in a chain of blocks; walking the blocks keeps a large world linear.
static void forEachPointer(ArrayList* list, void (*each)(void* element, void* ctx), void* ctx) {
    for (void* element : arrayListItems<void>(list))
        each(element, ctx);
}

static void chunkCentre(const veskTerrain* ter, float* x, float* z) {
    terToWorldNew(ter->chunkCoords[0], ter->chunkCoords[1], x, z, options.terScale);
}

int worldBoxOf(ArrayList* terList, worldBox* box) {
    *box = {INFINITY, -INFINITY, INFINITY, -INFINITY};
    forEachPointer(
        terList,
        [](void* element, void* ctx) {
            veskTerrain* ter = static_cast<veskTerrain*>(element);
            worldBox* b = static_cast<worldBox*>(ctx);
            float cx, cz;
            chunkCentre(ter, &cx, &cz);
            for (int i = 0; i < ter->numVerts; i++) {
                float x = cx + ter->verts[i].loc[0];
                float z = cz + ter->verts[i].loc[2];
                b->minX = std::min(b->minX, x);
                b->maxX = std::max(b->maxX, x);
                b->minZ = std::min(b->minZ, z);
                b->maxZ = std::max(b->maxZ, z);
            }
        },
        box);
    return box->minX <= box->maxX;
}

void mapSizeOf(const worldBox* box, float scale, double* width, double* height) {
    *width = std::round(double(scale) * (double(box->maxX) - box->minX)) + 2 * mapMargin;
    *height = std::round(double(scale) * (double(box->maxZ) - box->minZ)) + 2 * mapMargin;
}

void mapStart(mapPicture* pic, const worldBox* box) {
    pic->left = box->minX;
    pic->top = box->maxZ;
    for (int y = 0; y < pic->height; y++)
        std::fill_n(pic->pixels + size_t(y) * size_t(pic->pitch), pic->width, background);
}

// Fills every pixel whose centre lies inside the triangle or on its edges, so that
// triangles sharing an edge leave no gap between them.
static void fillTriangle(mapPicture* pic, const float* px, const float* py, uint32_t colour) {
    float lo = std::min({py[0], py[1], py[2]});
    float hi = std::max({py[0], py[1], py[2]});
    int y0 = std::max(0, int(std::ceil(lo - 0.5f)));
    int y1 = std::min(pic->height - 1, int(std::floor(hi - 0.5f)));
    for (int y = y0; y <= y1; y++) {
        float row = float(y) + 0.5f;
        float xl = INFINITY;
        float xr = -INFINITY;
        for (int e = 0; e < 3; e++) {
            int a = e;
            int b = (e + 1) % 3;
            if ((row < py[a] && row < py[b]) || (row > py[a] && row > py[b])) continue;
            if (py[a] == py[b]) { // an edge lying along the row counts whole
                xl = std::min({xl, px[a], px[b]});
                xr = std::max({xr, px[a], px[b]});
                continue;
            }
            float x = px[a] + (row - py[a]) / (py[b] - py[a]) * (px[b] - px[a]);
            xl = std::min(xl, x);
            xr = std::max(xr, x);
        }
        if (xl > xr) continue;
        int x0 = std::max(0, int(std::ceil(xl - 0.5f - 1e-4f)));
        int x1 = std::min(pic->width - 1, int(std::floor(xr - 0.5f + 1e-4f)));
        for (int x = x0; x <= x1; x++)
            putPixel(pic, x, y, colour);
    }
}

// Flat ground at height 0 keeps the palette colour. Slopes towards the light are
// brighter and slopes away darker (Lambert, with some ambient light so that no slope
// goes black); higher ground is brighter and lower darker, easing off with distance.
static float faceShade(const float (*p)[3]) {
    // In double: the cross product of far-flung vertices a file may hold overflows a float.
    double u[3], v[3];
    for (int i = 0; i < 3; i++) {
        u[i] = double(p[1][i]) - p[0][i];
        v[i] = double(p[2][i]) - p[0][i];
    }
    double n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
    double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    float slope = 1.0f;
    if (len > 0 && std::isfinite(len)) {
        // A face turned over by the brushes is still ground: light its upper side.
        double side = n[1] < 0 ? -1.0 : 1.0;
        double lit = side * (n[0] * lightDir[0] + n[1] * lightDir[1] + n[2] * lightDir[2]) / len;
        slope = 0.4f + 0.6f * float(std::max(lit, 0.0)) / lightDir[1];
    }
    float height = float((double(p[0][1]) + p[1][1] + p[2][1]) / 3);
    return slope * (1.0f + 0.5f * std::tanh(height / heightSpan));
}

static void drawChunk(void* element, void* ctx) {
    veskTerrain* ter = static_cast<veskTerrain*>(element);
    mapPicture* pic = static_cast<mapPicture*>(ctx);
    float cx, cz;
    chunkCentre(ter, &cx, &cz);
    for (int f = 0; f < ter->numFaces; f++) {
        float world[3][3], px[3], py[3];
        rgb sum = {0, 0, 0};
        for (int k = 0; k < 3; k++) {
            const vertTex* v = &ter->verts[ter->faces[3 * f + k]];
            world[k][0] = cx + v->loc[0];
            world[k][1] = v->loc[1];
            world[k][2] = cz + v->loc[2];
            pixelOf(pic, world[k][0], world[k][2], &px[k], &py[k]);
            rgb c = textureColour(v->texi);
            sum = {sum.r + c.r, sum.g + c.g, sum.b + c.b};
        }
        float shade = faceShade(world) / 3.0f;
        fillTriangle(pic, px, py, packColour(sum.r * shade, sum.g * shade, sum.b * shade));
    }
}

void drawTerrain(mapPicture* pic, ArrayList* terList) {
    forEachPointer(terList, drawChunk, pic);
}

// Darkens what lies under the line rather than covering it, so textures stay readable.
static void shadePixel(mapPicture* pic, int x, int y) {
    if (x < 0 || y < 0 || x >= pic->width || y >= pic->height) return;
    uint32_t* p = &pic->pixels[size_t(y) * size_t(pic->pitch) + size_t(x)];
    *p = 0xff000000u | (*p >> 1 & 0x7f7f7fu);
}

static void shadeLine(mapPicture* pic, float ax, float ay, float bx, float by) {
    int steps = int(std::ceil(std::max(std::fabs(bx - ax), std::fabs(by - ay))));
    for (int i = 0; i <= steps; i++) {
        float t = steps ? float(i) / float(steps) : 0.0f;
        shadePixel(pic, int(std::floor(ax + t * (bx - ax))), int(std::floor(ay + t * (by - ay))));
    }
}

// The hexagon every chunk stands for, whatever its vertices now hold: corners at
// (+-terScale, 0) from the centre, flat sides at the top and bottom.
static void outlineChunk(void* element, void* ctx) {
    mapPicture* pic = static_cast<mapPicture*>(ctx);
    float cx, cz;
    chunkCentre(static_cast<veskTerrain*>(element), &cx, &cz);
    float px[7], py[7];
    for (int k = 0; k <= 6; k++) {
        double a = M_PI / 3 * k;
        pixelOf(pic, cx + options.terScale * float(std::cos(a)),
                cz + options.terScale * float(std::sin(a)), &px[k], &py[k]);
    }
    for (int k = 0; k < 6; k++)
        shadeLine(pic, px[k], py[k], px[k + 1], py[k + 1]);
}

void drawGrid(mapPicture* pic, ArrayList* terList) {
    forEachPointer(terList, outlineChunk, pic);
}

static void fillRect(mapPicture* pic, int x0, int y0, int w, int h, uint32_t colour) {
    for (int y = y0; y < y0 + h; y++)
        for (int x = x0; x < x0 + w; x++)
            putPixel(pic, x, y, colour);
}

void drawOrigin(mapPicture* pic) {
    float px, py;
    pixelOf(pic, 0, 0, &px, &py);
    int x = int(std::floor(px));
    int y = int(std::floor(py));
    fillRect(pic, x - 7, y - 1, 15, 3, originColour);
    fillRect(pic, x - 1, y - 7, 3, 15, originColour);
}

static void drawDot(mapPicture* pic, int x, int y) {
    for (int dy = -4; dy <= 4; dy++)
        for (int dx = -4; dx <= 4; dx++) {
            int d = dx * dx + dy * dy;
            if (d <= 9)
                putPixel(pic, x + dx, y + dy, entityColour);
            else if (d <= 20)
                putPixel(pic, x + dx, y + dy, 0xff000000u);
        }
}

struct entitiesDrawn {
    mapPicture* pic;
    int drawn;
};

static void drawEntity(void* element, void* ctx) {
    entitiesDrawn* count = static_cast<entitiesDrawn*>(ctx);
    const veskGravity* g = static_cast<veskEntity*>(element)->gravMem;
    float cx, cz, px, py;
    terToWorldNew(g->chunkCoords[0], g->chunkCoords[1], &cx, &cz, options.terScale);
    pixelOf(count->pic, cx + g->position[0], cz + g->position[2], &px, &py);
    if (px < 0 || py < 0 || px >= float(count->pic->width) || py >= float(count->pic->height))
        return;
    drawDot(count->pic, int(px), int(py));
    count->drawn++;
}

int drawEntities(mapPicture* pic, ArrayList* entList) {
    entitiesDrawn count = {pic, 0};
    forEachPointer(entList, drawEntity, &count);
    return count.drawn;
}

// Digits of 3 x 5 cells, the top row in the highest bits.
constexpr uint16_t digitGlyphs[10] = {
    0b111'101'101'101'111, 0b010'110'010'010'111, 0b111'001'111'100'111, 0b111'001'111'001'111,
    0b101'101'111'001'001, 0b111'100'111'001'111, 0b111'100'111'101'111, 0b111'001'001'001'001,
    0b111'101'111'101'111, 0b111'101'111'001'111,
};
constexpr int glyphCell = 2; // pixels per glyph cell

// Writes `value` with its top left corner at (x, y).
static void drawNumber(mapPicture* pic, int x, int y, long value) {
    char text[24];
    int n = snprintf(text, sizeof text, "%ld", value);
    for (int i = 0; i < n; i++, x += 4 * glyphCell)
        for (int cell = 0; cell < 15; cell++)
            if (digitGlyphs[text[i] - '0'] >> (14 - cell) & 1)
                fillRect(pic, x + cell % 3 * glyphCell, y + cell / 3 * glyphCell, glyphCell,
                         glyphCell, inkColour);
}

static long barUnits(int i) { // 10, 20, 50, 100, 200, 500, ...
    const long mantissa[3] = {1, 2, 5};
    long units = 10 * mantissa[i % 3];
    for (int k = 0; k < i / 3; k++)
        units *= 10;
    return units;
}

// The bar is as many world units long as the first of 10, 20, 50, ... (10 is a chunk's
// circumradius) that spans 40 pixels, unless the next would not fit; ticks divide it into
// at most five equal parts, and its length is written after it.
void drawScaleBar(mapPicture* pic) {
    float room = float(pic->width - 3 * mapMargin); // leaves space for the digits
    int i = 0;
    while (i < 12 && float(barUnits(i)) * pic->scale < 40 &&
           float(barUnits(i + 1)) * pic->scale <= room)
        i++;
    long units = barUnits(i);
    int parts = int(std::min(units / 10, 5L));
    int x0 = mapMargin;
    int y = pic->height - mapMargin / 2;
    int length = int(std::lround(float(units) * pic->scale));
    fillRect(pic, x0, y, length + 1, 2, inkColour);
    for (int k = 0; k <= parts; k++)
        fillRect(pic, x0 + int(std::lround(float(length) * float(k) / float(parts))), y - 4, 1, 4,
                 inkColour);
    drawNumber(pic, x0 + length + 6, y - 4, units);
}
