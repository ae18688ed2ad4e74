// Terrain editing: the pick of the face under a client's view ray and the brushes.
#include "veskServer.h"

void terEditNew(float*, float*, veskGravity*, int, int) {}
