#include "foundation/math/rotation.h"

#include <cmath>

namespace tallow {

Quaternion matrix_to_quaternion(const Matrix4x4 &matrix)
{
    const auto &m = matrix.m;
    f32 t = m[0][0] + m[1][1] + m[2][2] + m[3][3];
    if (t >= 1) {
        f32 s = 2 * std::sqrt(t);
        return {(m[2][1] - m[1][2]) / s, (m[0][2] - m[2][0]) / s, (m[1][0] - m[0][1]) / s, -0.25f * s};
    }
    int i;
    f32 larger01 = m[0][0] > m[1][1] ? m[0][0] : m[1][1];
    if (m[2][2] > larger01)
        i = 2;
    else
        i = m[0][0] > m[1][1] ? 0 : 1;
    int j = (1 << i) & 3;
    int k = (1 << j) & 3;
    f32 s = 2 * std::sqrt(m[i][i] - m[j][j] - m[k][k] + 1);
    f32 q[3];
    q[i] = 0.25f * s;
    q[j] = (m[j][i] + m[i][j]) / s;
    q[k] = (m[k][i] + m[i][k]) / s;
    return {q[0], q[1], q[2], -(m[k][j] - m[j][k]) / s};
}

} // namespace tallow
