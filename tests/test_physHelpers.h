// Helpers shared by the movement physics and terrain editing tests: a flat world with an
// entity, values compared within a tolerance, and the trace lines a call prints.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>

#include "brushes.h"
#include "testUtil.h"
#include "tolp.h"
#include "veskServer.h"

using V = std::vector<double>;
// Value by value within tol; a NaN wanted matches anything, values past the wanted are free.
inline testing::AssertionResult near(const V& got, const V& want, double tol = 0) {
    for (size_t i = 0; i < want.size(); i++)
        if (i >= got.size() || !(std::fabs(got[i] - want[i]) <= tol || std::isnan(want[i])))
            return testing::AssertionFailure() << "value " << i << " is not " << want[i];
    return testing::AssertionSuccess();
}

struct world { // the flat spawn area of the given radius; an entity in (0, 0) on no face
    veskGravity g = {};
    world(int radius) { freshLists(radius), g.faceIndex = -1, fillTerArray(&g, terList); }
    ~world() { freeLists(); }
};

template <class F> std::string traced(F fn) { // what fn printed, with the trace on
    traceOn = 1;
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}
