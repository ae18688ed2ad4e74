// The world map picture: the terrain seen from above, coloured by texture and shaded by
// slope and height, with chunk outlines, the origin, entities and a scale bar over it.
// Draws into plain 32-bit pixels; writing them out is the caller's business.
#pragma once

#include <cstdint>

#include "save/save.h"

// Empty space around the terrain on every side, in pixels; the scale bar sits in the
// bottom one.
constexpr int mapMargin = 24;

// The extent of all vertices in world X and Z.
struct worldBox {
    float minX;
    float maxX;
    float minZ;
    float maxZ;
};

// World X runs to the right and world Z up; pixel (0, 0) is the top left corner.
struct mapPicture {
    uint32_t* pixels; // 0xAARRGGBB
    int width;
    int height;
    int pitch;   // pixels from one row to the next
    float scale; // pixels per world unit
    float left;  // world X at the left edge of the terrain area (pixel column mapMargin)
    float top;   // world Z at its top edge (pixel row mapMargin)
};

// 0 when the chunks hold no vertex at all.
int worldBoxOf(ArrayList* terList, worldBox* box);
// The picture for a box at `scale` pixels per world unit is, on each axis,
// round(scale * (max - min)) + 2 * mapMargin pixels; doubles, so that absurd sizes can be
// refused before anything is allocated.
void mapSizeOf(const worldBox* box, float scale, double* width, double* height);
// Places the box in a picture of the size above and fills it with the background.
void mapStart(mapPicture* pic, const worldBox* box);

void drawTerrain(mapPicture* pic, ArrayList* terList);
void drawGrid(mapPicture* pic, ArrayList* terList);
void drawOrigin(mapPicture* pic);
// Entities outside the picture are left out; the number drawn.
int drawEntities(mapPicture* pic, ArrayList* entList);
void drawScaleBar(mapPicture* pic);
