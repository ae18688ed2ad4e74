// Everything the tests reach in the server: its records and the functions of every
// subsystem, from the base up to Start and Stop.
#pragma once

#include "brushes.h"
#include "bytes.h"
#include "core/core.h"
#include "operator/http.h"
#include "operator/operator.h"
#include "save/save.h"
#include "sessions/sessions.h"
#include "world/world.h"
