// The world map program run as a real binary: the picture of a spawn world with a raised
// chunk and an entity's dot (pixel for pixel as tests/golden/map-spawn.png), and an output
// that is an input and a bad option refused without touching any file.
#include <algorithm>
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

// A picture read with libpng: its size and its pixels, 0xAARRGGBB as the program draws them.
struct picture {
    png_image image = {};
    std::vector<uint32_t> pixels;
    bool load(const string& path) {
        image.version = PNG_IMAGE_VERSION;
        if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
        image.format =
            std::endian::native == std::endian::little ? PNG_FORMAT_BGRA : PNG_FORMAT_ARGB;
        pixels.resize(PNG_IMAGE_SIZE(image) / 4);
        return png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) != 0;
    }
};

// "" when the picture has the pixels of tests/golden/map-spawn.png, else the first that
// differs (the picture is kept in the build folder); with QUARN_WRITE_GOLDEN set the golden
// picture is replaced instead.
static string goldenPixelDifference(const string& path, const picture& actual) {
    const string golden = QUARN_SOURCE_DIR "/tests/golden/map-spawn.png";
    const string kept = QUARN_BINARY_DIR "/golden-actual/map-spawn.png";
    const auto replace = std::filesystem::copy_options::overwrite_existing;
    if (getenv("QUARN_WRITE_GOLDEN")) {
        std::filesystem::copy_file(path, golden, replace);
        return "";
    }
    picture expected;
    if (!expected.load(golden)) return golden + " cannot be read";
    if (actual.pixels == expected.pixels) return "";
    std::filesystem::create_directories(QUARN_BINARY_DIR "/golden-actual");
    std::filesystem::copy_file(path, kept, replace);
    if (actual.pixels.size() != expected.pixels.size()) return "its size differs; see " + kept;
    size_t at =
        size_t(std::ranges::mismatch(actual.pixels, expected.pixels).in1 - actual.pixels.begin());
    size_t width = actual.image.width;
    return "pixel (" + std::to_string(at % width) + ", " + std::to_string(at / width) +
           ") differs from the golden picture's; see " + kept;
}

struct mapTool : testing::Test {
    char name[32] = "/tmp/quarn-map-XXXXXX";
    string dir = mkdtemp(name);
    string worldPath = dir + "/world";
    quietTrace quiet;
    picture pic;
    ~mapTool() override { std::filesystem::remove_all(dir); }
    // The exit status of quarn-map run with `args`; its standard error in dir/stderr.
    int run(const string& args) {
        string command = string(QUARN_MAP_BIN) + " " + args + " >/dev/null 2>" + dir + "/stderr";
        int status = system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

TEST_F(mapTool, spawnWorldFillsItsBoxWithGreenHexagonsARaisedChunkBrighterAndItsInputIsKept) {
    const int at[2] = {2, 1}; // centre X 30, Z 34.64: off both axes, so a flip would show
    ArrayList* chunks = initArrayList(10, sizeof(void*));
    embedSpawnTer(chunks, 11, 0, 0, 10.0f, 5);
    veskTerrain* raised = coordsToTer(at, chunks);
    for (int i = 0; i < raised->numVerts; i++)
        raised->verts[i].loc[1] += 8.0f;
    std::swap(raised->faces[0], raised->faces[1]); // a face turned over: lit as ground still
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
    ASSERT_EQ(run("-g -i " + worldPath + " -o " + dir + "/map.png -e " + dir + "/entities"), 0);
    ASSERT_TRUE(pic.load(dir + "/map.png")) << pic.image.message;
    EXPECT_EQ(pic.image.width, 2 * margin + std::lround(2 * halfWidth * scale));
    EXPECT_EQ(pic.image.height, 2 * margin + std::lround(2 * halfDepth * scale));
    // Green hexagons outlined, the raised chunk brighter, the entity a yellow dot at (40, -30).
    EXPECT_EQ(goldenPixelDifference(dir + "/map.png", pic), "");
    // The map is never drawn over one of its inputs.
    string before = readFile(worldPath);
    EXPECT_NE(run("-i " + worldPath + " -o " + worldPath), 0);
    EXPECT_TRUE(readFile(worldPath) == before);

    EXPECT_EQ(run("-i " + worldPath + " -o " + dir + "/map.png --scale 0"), 2);
}
