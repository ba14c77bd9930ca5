#pragma once
// Conversion of a rotation matrix to a quaternion.

#include "foundation/math/matrix4x4.h"
#include "foundation/math/quaternion.h"

namespace tallow {

/// The rotation of the matrix's three axis rows as a unit quaternion. `m` must be an
/// affine pose with orthonormal axes and m[3][3] = 1 (scale or a projection gives a wrong
/// result). The sign is fixed by the branch taken: the identity gives (0, 0, 0, -1), the
/// same rotation as (0, 0, 0, 1). Reentrant.
Quaternion matrix_to_quaternion(const Matrix4x4 &m);

} // namespace tallow
