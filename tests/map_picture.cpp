// The world map program run as a real binary: the picture of a spawn world with a raised
// chunk and an entity's dot, and an output that is an input and a bad option refused
// without touching any file.
#include <bit>
#include <cmath>
#include <png.h>

#include "e2eUtil.h"

constexpr float scale = 2.0f; // the program's default, pixels per world unit
constexpr int margin = 24;    // on every side, as the usage text says
// The spawn world holds the chunks within hex distance 10 of (0, 0): hexagons of
// circumradius 10 with corners at (+-10, 0), centred 15 apart in X and sqrt(3)/2 * 10 apart
// in Z, so its vertices reach 15 * 10 + 10 in X and sqrt(3)/2 * 10 * (20 + 1) in Z.
constexpr float halfWidth = 160.0f;
const float halfDepth = 8.660254f * 21;

enum { blue = 0, green = 8, red = 16 }; // the shifts of a pixel's channels

static int channel(uint32_t c, int shift) {
    return c >> shift & 0xff;
}

struct mapTool : testing::Test {
    char name[32] = "/tmp/quarn-map-XXXXXX";
    string dir = mkdtemp(name);
    string worldPath = dir + "/world";
    quietTrace quiet;
    png_image pic = {};
    std::vector<uint32_t> pixels; // 0xAARRGGBB, as the program draws them
    ~mapTool() override { std::filesystem::remove_all(dir); }
    // The exit status of quarn-map run with `args`; its standard error in dir/stderr.
    int run(const string& args) {
        string command = string(QUARN_MAP_BIN) + " " + args + " >/dev/null 2>" + dir + "/stderr";
        int status = system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    uint32_t pixelAt(float x, float z) {
        int px = margin + int((x + halfWidth) * scale);
        int py = margin + int((halfDepth - z) * scale);
        return pixels[size_t(py) * pic.width + size_t(px)];
    }
    // Reads the picture with libpng into `pic` and `pixels`.
    bool load(const string& path) {
        pic.version = PNG_IMAGE_VERSION;
        if (!png_image_begin_read_from_file(&pic, path.c_str())) return false;
        pic.format = std::endian::native == std::endian::little ? PNG_FORMAT_BGRA : PNG_FORMAT_ARGB;
        pixels.resize(PNG_IMAGE_SIZE(pic) / 4);
        return png_image_finish_read(&pic, nullptr, pixels.data(), 0, nullptr) != 0;
    }
};

TEST_F(mapTool, spawnWorldFillsItsBoxWithGreenHexagonsARaisedChunkBrighterAndItsInputIsKept) {
    const int at[2] = {2, 1}; // centre X 30, Z 34.64: off both axes, so a flip would show
    ArrayList* chunks = initArrayList(10, sizeof(void*));
    embedSpawnTer(chunks, 11, 0, 0, 10.0f, 5);
    veskTerrain* raised = coordsToTer(at, chunks);
    for (int i = 0; i < raised->numVerts; i++)
        raised->verts[i].loc[1] += 8.0f;
    // Written as the server writes it: the world of a whole save into this folder.
    setResDir(dir.c_str());
    world.terList = chunks;
    sessions.profList = initArrayList(10, sizeof(void*));
    world.entList = initArrayList(10, sizeof(void*));
    ASSERT_EQ(saveGame(), 1);
    freeTerList(chunks);
    freeArrayList(sessions.profList);
    freeArrayList(world.entList);
    world.terList = sessions.profList = world.entList = nullptr;
    // One entity at (40, -30) from the centre of chunk (0, 0): a yellow dot there.
    const float entity[7] = {2.0f, 40.0f, 1.0f, -30.0f, 0, 0, 1};
    string ents = {1, 0, 0, 0, 0, 0, 0, 0};
    ents.append(reinterpret_cast<const char*>(entity), sizeof entity);
    writeFile(dir + "/entities", ents);
    ASSERT_EQ(run("-i " + worldPath + " -o " + dir + "/map.png -e " + dir + "/entities"), 0);
    ASSERT_TRUE(load(dir + "/map.png")) << pic.message;
    EXPECT_EQ(pic.width, 2 * margin + std::lround(2 * halfWidth * scale));
    EXPECT_EQ(pic.height, 2 * margin + std::lround(2 * halfDepth * scale));
    uint32_t ground = pixelAt(4, 3); // in chunk (0, 0), clear of the origin mark
    EXPECT_GT(channel(ground, green), std::max(channel(ground, red), channel(ground, blue)) + 30);
    float x, z;
    terToWorldNew(at[0], at[1], &x, &z, 10.0f);
    EXPECT_GT(channel(pixelAt(x, z), green), channel(ground, green) + 15); // the raised chunk
    uint32_t dot = pixelAt(40, -30);
    EXPECT_TRUE(channel(dot, red) > 200 && channel(dot, blue) < 100) << std::hex << dot;
    // The map is never drawn over one of its inputs.
    string before = readFile(worldPath);
    EXPECT_NE(run("-i " + worldPath + " -o " + worldPath), 0);
    EXPECT_TRUE(readFile(worldPath) == before);

    EXPECT_EQ(run("-i " + worldPath + " -o " + dir + "/map.png --scale 0"), 2);
}
