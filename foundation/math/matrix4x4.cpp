#include "foundation/math/matrix4x4.h"

#include <cmath>
#include <utility>

namespace tallow {

bool matrix4x4_inverse(const Matrix4x4 &in, Matrix4x4 &out)
{
    Matrix4x4 w = in; // `out` may alias `in`
    Matrix4x4 r = matrix4x4_identity;
    bool invertible = true;
    for (int c = 0; c < 4; ++c) {
        if (c < 3) {
            int best = c;
            // Strictly larger only: the first of equal maxima is kept.
            for (int row = c + 1; row < 4; ++row)
                if (std::fabs(w.m[row][c]) > std::fabs(w.m[best][c]))
                    best = row;
            if (best != c) {
                std::swap(w.m[best], w.m[c]);
                std::swap(r.m[best], r.m[c]);
            }
        }
        f32 pivot = w.m[c][c];
        if (pivot == 0 || !std::isfinite(pivot)) {
            invertible = false;
            break;
        }
        f32 inv = 1.0f / pivot;
        for (int j = 0; j < 4; ++j) {
            w.m[c][j] *= inv;
            r.m[c][j] *= inv;
        }
        for (int row = 0; row < 4; ++row) {
            if (row == c)
                continue;
            f32 f = w.m[row][c];
            for (int j = 0; j < 4; ++j) {
                w.m[row][j] -= f * w.m[c][j];
                r.m[row][j] -= f * r.m[c][j];
            }
        }
    }
    out = r;
    return invertible;
}

} // namespace tallow
