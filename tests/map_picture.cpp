// The world map program run as a real binary: the picture of a spawn world, raised ground
// brighter than the flat around it, and damaged worlds and bad options refused without
// touching any file.
#include <SDL.h>
#include <SDL_image.h>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

#include "veskServer.h"

using std::string;

constexpr float scale = 2.0f; // the program's default, pixels per world unit
constexpr int margin = 24;    // on every side, as the usage text says
// The spawn world holds the chunks within hex distance 10 of (0, 0): hexagons of
// circumradius 10 with corners at (+-10, 0), centred 15 apart in X and sqrt(3)/2 * 10 apart
// in Z, so its vertices reach 15 * 10 + 10 in X and sqrt(3)/2 * 10 * (20 + 1) in Z.
constexpr float halfWidth = 160.0f;
const float halfDepth = 8.660254f * 21;

static string slurp(const string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

static uint32_t pixelAt(SDL_Surface* pic, float x, float z) {
    int px = margin + int((x + halfWidth) * scale);
    int py = margin + int((halfDepth - z) * scale);
    return static_cast<uint32_t*>(pic->pixels)[py * pic->pitch / 4 + px];
}

enum { blue = 0, green = 8, red = 16 }; // the shifts of a pixel's channels

static int channel(uint32_t c, int shift) {
    return c >> shift & 0xff;
}

struct mapTool : testing::Test {
    string dir;
    string world;
    ArrayList* chunks;
    SDL_Surface* pic = nullptr;
    mapTool() {
        char name[] = "/tmp/quarn-map-XXXXXX";
        dir = mkdtemp(name);
        world = dir + "/world";
        traceOn = 0;
        chunks = initArrayList(10, sizeof(void*));
        embedSpawnTer(chunks, 11, 0, 0, 10.0f, 5);
        saveChunks(world.c_str(), chunks);
    }
    ~mapTool() override {
        SDL_FreeSurface(pic);
        freeTerList(chunks);
        std::filesystem::remove_all(dir);
    }
    // The exit status of quarn-map run with `args`; its standard error in `err`.
    int run(const string& args, string* err = nullptr) {
        string errFile = dir + "/stderr";
        string command = string(QUARN_MAP_BIN) + " " + args + " >/dev/null 2>" + errFile;
        int status = system(command.c_str());
        if (err) *err = slurp(errFile);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Saves the chunks and draws them at the default scale; false when no picture came.
    bool draw() {
        saveChunks(world.c_str(), chunks);
        if (run("-i " + world + " -o " + dir + "/map.png") != 0) return false;
        SDL_Surface* loaded = IMG_Load((dir + "/map.png").c_str());
        if (loaded) pic = SDL_ConvertSurfaceFormat(loaded, SDL_PIXELFORMAT_ARGB8888, 0);
        SDL_FreeSurface(loaded);
        return pic != nullptr;
    }
};

TEST_F(mapTool, spawnWorldFillsItsBoxWithGreenHexagons) {
    ASSERT_TRUE(draw());
    EXPECT_EQ(pic->w, 2 * margin + std::lround(2 * halfWidth * scale));
    EXPECT_EQ(pic->h, 2 * margin + std::lround(2 * halfDepth * scale));
    uint32_t ground = pixelAt(pic, 4, 3); // in chunk (0, 0), clear of the origin mark
    EXPECT_GT(channel(ground, green), channel(ground, red) + 30);
    EXPECT_GT(channel(ground, green), channel(ground, blue) + 30);
    EXPECT_EQ(pixelAt(pic, 150, 0), ground);    // chunk (10, -5)
    EXPECT_EQ(pixelAt(pic, 0, -170), ground);   // chunk (0, -10)
    uint32_t outside = pixelAt(pic, -155, 175); // a corner of the box, beyond every hexagon
    EXPECT_EQ(outside, static_cast<uint32_t*>(pic->pixels)[0]);
    EXPECT_NE(outside, ground);
}

TEST_F(mapTool, raisedChunkIsBrighterThanEveryNeighbour) {
    const int at[2] = {2, 1}; // centre X 30, Z 34.64: off both axes, so a flip would show
    veskTerrain* raised = coordsToTer(at, chunks);
    for (int i = 0; i < raised->numVerts; i++)
        raised->verts[i].loc[1] += 8.0f;
    ASSERT_TRUE(draw());
    float x, z;
    terToWorldNew(at[0], at[1], &x, &z, 10.0f);
    uint32_t top = pixelAt(pic, x, z);
    for (int k = 1; k < 7; k++) {
        terToWorldNew(at[0] + chunkArrayCoords[2 * k], at[1] + chunkArrayCoords[2 * k + 1], &x, &z,
                      10.0f);
        EXPECT_GT(channel(top, green), channel(pixelAt(pic, x, z), green) + 15)
            << "neighbour " << k;
    }
}

TEST_F(mapTool, damagedWorldIsRefusedAndLeftAlone) {
    string whole = slurp(world);
    string cut = whole.substr(0, whole.size() - 100);
    std::ofstream(world, std::ios::binary | std::ios::trunc) << cut;
    string err;
    EXPECT_EQ(run("-i " + world + " -o " + dir + "/map.png", &err), 1);
    EXPECT_NE(err.find(world + " is damaged ("), string::npos) << err;
    EXPECT_EQ(slurp(world), cut);
    EXPECT_FALSE(std::filesystem::exists(world + ".bad"));
    EXPECT_FALSE(std::filesystem::exists(dir + "/map.png"));
}

TEST_F(mapTool, badOptionsGetTheUsage) {
    string err;
    EXPECT_EQ(run("-i " + world + " -o " + dir + "/map.png --scale 0", &err), 2);
    EXPECT_NE(err.find("usage: quarn-map"), string::npos) << err;
    EXPECT_EQ(run("-i " + world + " -o " + dir + "/map.png --shade"), 2);
}
