// quarn-map: a picture of a saved world seen from above, written as a PNG (libpng). Owns
// the command line, reading the world and entity files (checked as the server checks them,
// and never changed) and writing the picture; mapDraw does the drawing.
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <sys/stat.h>
#include <png.h>
#include <vector>

#include "mapDraw.h"

constexpr float defaultScale = 2.0f;
constexpr double minScale = 0.05;
constexpr double maxScale = 64;
constexpr double maxSide = 16384; // pixels
// A pixel 0xAARRGGBB as libpng sees its bytes in memory.
constexpr png_uint_32 pixelFormat =
    std::endian::native == std::endian::little ? PNG_FORMAT_BGRA : PNG_FORMAT_ARGB;

static const char usageText[] =
    "usage: quarn-map -i WORLD -o PICTURE.png [--scale PIXELS] [--grid] [--entities FILE]\n"
    "Draws a saved world seen from above: world X to the right, world Z up.\n"
    "  -i, --input WORLD      the world file to draw, e.g. res/world (read only)\n"
    "  -o, --output PICTURE   the PNG to write\n"
    "  -s, --scale PIXELS     pixels per world unit, 0.05 to 64 (default 2)\n"
    "  -g, --grid             outline every chunk\n"
    "  -e, --entities FILE    mark the entities of an entity file, e.g. res/entities\n"
    "  -h, --help             this text\n"
    "The picture is round(scale * width) + 48 by round(scale * depth) + 48 pixels, where\n"
    "width and depth are the world's extent in X and Z over all vertices (a 24-pixel\n"
    "margin on every side), and at most 16384 pixels on a side. Ground is coloured by\n"
    "texture (0 green, 1 grey, 2 sand, 3 brown, 4 white, others mixed colours), lit from\n"
    "the top left and brighter the higher it lies. The red cross is the world origin; the\n"
    "bar at the bottom is as many world units long as the number beside it.\n";

struct mapOptions {
    const char* input;
    const char* output;
    const char* entities;
    float scale;
    int grid;
};

static int usageError(const char* why) {
    if (why) fprintf(stderr, "quarn-map: %s\n", why);
    fputs(usageText, stderr);
    return 2;
}

// 0 when the text is a whole number within the bounds.
static int parseScale(const char* text, float* scale) {
    char* end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    if (errno || end == text || *end || !std::isfinite(v) || v < minScale || v > maxScale)
        return -1;
    *scale = float(v);
    return 0;
}

// 0 on success, otherwise the exit status: 2 for a bad command line; -1 after --help.
static int parseOptions(int argc, char** argv, mapOptions* opt) {
    static const option longOptions[] = {
        {"input", required_argument, nullptr, 'i'},
        {"output", required_argument, nullptr, 'o'},
        {"scale", required_argument, nullptr, 's'},
        {"grid", no_argument, nullptr, 'g'},
        {"entities", required_argument, nullptr, 'e'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    *opt = {nullptr, nullptr, nullptr, defaultScale, 0};
    int c;
    while ((c = getopt_long(argc, argv, "i:o:s:ge:h", longOptions, nullptr)) != -1) {
        switch (c) {
        case 'i':
            opt->input = optarg;
            break;
        case 'o':
            opt->output = optarg;
            break;
        case 'e':
            opt->entities = optarg;
            break;
        case 'g':
            opt->grid = 1;
            break;
        case 's':
            if (parseScale(optarg, &opt->scale) != 0)
                return usageError("--scale takes a number of pixels from 0.05 to 64");
            break;
        case 'h':
            fputs(usageText, stdout);
            return -1;
        default:
            return usageError(nullptr); // getopt has said what was wrong
        }
    }
    if (optind < argc) return usageError("unexpected argument");
    if (!opt->input || !opt->output) return usageError("both --input and --output are needed");
    return 0;
}

// Reads and checks a save file, and appends what it holds; 0 with a message when it
// cannot be read or does not add up. Nothing is printed by the checks or written
// anywhere, whatever the file holds.
static int loadChecked(const char* path, ArrayList* list,
                       const char* (*check)(const unsigned char*, size_t),
                       int (*read)(const unsigned char*, size_t, ArrayList*)) {
    std::vector<unsigned char> data;
    if (!readWholeFile(path, &data)) {
        fprintf(stderr, "quarn-map: cannot read %s (%s); nothing drawn\n", path, strerror(errno));
        return 0;
    }
    const char* why = check(data.data(), data.size());
    if (*why) {
        fprintf(stderr, "quarn-map: %s is damaged (%s); nothing drawn\n", path, why);
        return 0;
    }
    read(data.data(), data.size(), list);
    return 1;
}

// A picture written over one of the save files would destroy it.
static int sameFile(const char* a, const char* b) {
    struct stat sa, sb;
    return b && stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Draws everything into fresh pixels and writes them; the exit status.
static int drawAndSave(const mapOptions* opt, ArrayList* terList, ArrayList* entList) {
    worldBox box;
    if (!worldBoxOf(terList, &box)) {
        fprintf(stderr, "quarn-map: %s holds no terrain; nothing drawn\n", opt->input);
        return 1;
    }
    double width, height;
    mapSizeOf(&box, opt->scale, &width, &height);
    if (width > maxSide || height > maxSide) {
        fprintf(stderr,
                "quarn-map: the picture would be %.0f x %.0f pixels, more than %.0f on a side; "
                "use a smaller --scale\n",
                width, height, maxSide);
        return 1;
    }
    // At most 16384 x 16384 pixels of 4 bytes: 1 GiB, which the system may refuse.
    uint32_t* pixels = static_cast<uint32_t*>(calloc(size_t(width) * size_t(height), 4));
    if (!pixels) {
        fprintf(stderr, "quarn-map: no memory for a picture of %.0f x %.0f pixels\n", width,
                height);
        return 1;
    }
    mapPicture pic = {pixels, int(width), int(height), int(width), opt->scale, 0, 0};
    mapStart(&pic, &box);
    drawTerrain(&pic, terList);
    if (opt->grid) drawGrid(&pic, terList);
    drawOrigin(&pic);
    int drawn = drawEntities(&pic, entList);
    drawScaleBar(&pic);
    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(pic.width);
    image.height = png_uint_32(pic.height);
    image.format = pixelFormat;
    int status = 0;
    if (!png_image_write_to_file(&image, opt->output, 0, pixels, 0, nullptr)) {
        fprintf(stderr, "quarn-map: cannot write %s (%s)\n", opt->output, image.message);
        status = 1;
    } else {
        printf("quarn-map: %s, %d x %d pixels, %d chunks", opt->output, pic.width, pic.height,
               arrayListGetLength(terList));
        if (opt->entities) printf(", %d of %d entities", drawn, arrayListGetLength(entList));
        printf("\n");
    }
    free(pixels);
    return status;
}

int main(int argc, char** argv) {
    mapOptions opt;
    int bad = parseOptions(argc, argv, &opt);
    if (bad) return bad < 0 ? 0 : bad;
    if (sameFile(opt.output, opt.input) || sameFile(opt.output, opt.entities)) {
        fprintf(stderr, "quarn-map: %s is an input file; it will not be drawn over\n", opt.output);
        return 1;
    }
    ArrayList* terList = initArrayList(10, sizeof(void*));
    ArrayList* entList = initArrayList(10, sizeof(void*));
    int status = 1;
    if (loadChecked(opt.input, terList, checkWorldBytes, readWorldBytes) &&
        (!opt.entities || loadChecked(opt.entities, entList, checkEntityBytes, readEntityBytes)))
        status = drawAndSave(&opt, terList, entList);
    freeTerList(terList);
    freeEntList(entList);
    return status;
}
