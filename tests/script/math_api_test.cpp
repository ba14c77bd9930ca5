#include "script_fixture.h"

#include "foundation/math/matrix4x4.h"
#include "foundation/math/rotation.h"
#include "script/script_api.h"

#include <cmath>
#include <initializer_list>

namespace tallow::test {
namespace {

constexpr f32 pi = 3.14159265f;

/// Values a snippet returns, flattened: numbers; booleans as 1 and 0; Vector3, Quaternion
/// and Matrix4x4 temporaries as their 3, 4 and 16 floats.
class MathApiTest : public ScriptTest {
  public:
    MathApiTest() { register_script_api(env, nullptr, nullptr, default_allocator()); }

    std::vector<f64> eval(const std::string &expression)
    {
        lua_State *L = env.state();
        int top = lua_gettop(L);
        std::vector<f64> out;
        std::string code = "return " + expression;
        if (luaL_loadstring(L, code.c_str()) != 0 || lua_pcall(L, 0, LUA_MULTRET, 0) != 0) {
            ADD_FAILURE() << expression << ": " << lua_tostring(L, -1);
            lua_settop(L, top);
            return out;
        }
        for (int i = top + 1; i <= lua_gettop(L); ++i) {
            LuaStack at(L, i - 1);
            auto append = [&](const f32 *p, int n) { out.insert(out.end(), p, p + n); };
            if (lua_type(L, i) == LUA_TNUMBER)
                out.push_back(lua_tonumber(L, i));
            else if (lua_type(L, i) == LUA_TBOOLEAN)
                out.push_back(lua_toboolean(L, i) ? 1 : 0);
            else if (at.is_vector3(1))
                append(at.get_vector3(1), 3);
            else if (at.is_quaternion(1))
                append(at.get_quaternion(1), 4);
            else if (at.is_matrix4x4(1))
                append(at.get_matrix4x4(1), 16);
            else
                ADD_FAILURE() << expression << ": result " << i - top << " is a " << luaL_typename(L, i);
        }
        lua_settop(L, top);
        return out;
    }
};

std::vector<f64> flat(Vector3 v) { return {v.x, v.y, v.z}; }
std::vector<f64> flat(Quaternion q) { return {q.x, q.y, q.z, q.w}; }
std::vector<f64> flat(const Matrix4x4 &m)
{
    std::vector<f64> out;
    for (const auto &row : m.m)
        out.insert(out.end(), row, row + 4);
    return out;
}
std::vector<f64> join(std::initializer_list<std::vector<f64>> parts)
{
    std::vector<f64> out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct Case {
    const char *expression;
    std::vector<f64> expected;
};

void check(MathApiTest &test, const Case &c, f64 tolerance = 1e-5)
{
    SCOPED_TRACE(c.expression);
    std::vector<f64> got = test.eval(c.expression);
    ASSERT_EQ(got.size(), c.expected.size());
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_NEAR(got[i], c.expected[i], tolerance) << "value " << i + 1;
}

TEST_F(MathApiTest, BindingsMatchTheEngineMath)
{
    // Shared inputs, defined once in Lua and mirrored in C++.
    ASSERT_EQ(run("a = function() return Vector3(1, 2, 3) end\n"
                  "b = function() return Vector3(-2, 0.5, 4) end\n"
                  "q = function() return Quaternion(Vector3(0, 0, 1), 0.7) end\n"
                  "p = function() return Quaternion(Vector3(1, 0, 0), -1.2) end\n"
                  "m = function() return Matrix4x4.from_quaternion_position(q(), Vector3(1, 2, 3)) end\n"
                  "n = function() return Matrix4x4.from_quaternion_position(p(), Vector3(-4, 0, 2)) end\n"),
              "");
    const Vector3 a{1, 2, 3}, b{-2, 0.5f, 4}, v{0.3f, -0.7f, 2};
    const Quaternion q = quaternion_from_axis_angle({0, 0, 1}, 0.7f), p = quaternion_from_axis_angle({1, 0, 0}, -1.2f);
    const Matrix4x4 m = matrix4x4_from_quaternion(q, {1, 2, 3}), n = matrix4x4_from_quaternion(p, {-4, 0, 2});
    Matrix4x4 m_inverse;
    ASSERT_TRUE(matrix4x4_inverse(m, m_inverse));
    const Quaternion q_inverse = conjugate(q); // unit quaternion
    const Vector3 steep_a = normalize(cross(a, {1, 0, 0})); // a.z is not within (-0.5, 0.5)

    const Case cases[] = {
        {"Vector3.add(a(), b())", flat(a + b)},
        {"Vector3.subtract(a(), b())", flat(a - b)},
        {"Vector3.multiply(a(), 2.5)", flat(a * 2.5f)},
        {"Vector3.divide(a(), 4)", flat(a * 0.25f)},
        {"Vector3.multiply_elements(a(), b())", {-2, 1, 12}},
        {"Vector3.divide_elements(a(), b())", {-0.5, 4, 0.75}},
        {"Vector3.equal(a(), a()), Vector3.equal(a(), b())", {1, 0}},
        {"Vector3.dot(a(), b()), Vector3.cross(a(), b())", join({{dot(a, b)}, flat(cross(a, b))})},
        {"Vector3.length(b()), Vector3.distance(a(), b()), Vector3.distance_squared(a(), b())",
         {length(b), length(a - b), length_squared(a - b)}},
        {"Vector3.normalize(b())", flat(normalize(b))},
        {"Vector3.normalize(Vector3(0, 0, 0.00001))", {0, 0, 0}},
        {"Vector3.base(1), Vector3.base(3), Vector3.base(4)", {1, 0, 0, 0, 0, 1, 0, 0, 0}},
        {"Vector3.right(), Vector3.forward(), Vector3.up()", {1, 0, 0, 0, 1, 0, 0, 0, 1}},
        {"Vector3.left(), Vector3.backward(), Vector3.down(), Vector3.zero()", {-1, 0, 0, 0, -1, 0, 0, 0, -1, 0, 0, 0}},
        {"Vector3.x_axis(), Vector3.y_axis(), Vector3.z_axis()", {1, 0, 0, 0, 1, 0, 0, 0, 1}},
        {"Vector3.element(b(), 2), Vector3.x(b()), Vector3.y(b()), Vector3.z(b())", {0.5, -2, 0.5, 4}},
        {"Vector3.make_axes(a())", join({flat(steep_a), flat(cross(a, steep_a))})},
        {"Vector3.make_axes(Vector3(2, 0, 0.25))",
         join({flat(normalize(cross({0, 0, 1}, {2, 0, 0.25f}))),
               flat(cross({2, 0, 0.25f}, normalize(cross({0, 0, 1}, {2, 0, 0.25f}))))})},
        {"Vector3.lerp(a(), b(), 0.25)", flat(a + (b - a) * 0.25f)},
        {"Vector3.min(a(), b()), Vector3.max(a(), b())", {-2, 0.5, 3, 1, 2, 4}},
        {"Vector3.to_elements(b())", {-2, 0.5, 4}},

        {"Quaternion(Vector3(0, 0, 1), 0.7)", flat(q)},
        {"Quaternion.axis_angle(Vector3(1, 0, 0), -1.2)", flat(p)},
        // q x p rotates by p first, then by q.
        {"Quaternion.multiply(q(), p())", flat(q * p)},
        {"Quaternion.rotate(Quaternion.multiply(q(), p()), Vector3(0.3, -0.7, 2))", flat(rotate(q, rotate(p, v)))},
        {"Quaternion.inverse(q()), Quaternion.conjugate(q())", join({flat(q_inverse), flat(q_inverse)})},
        {"Quaternion.inverse(Quaternion.from_elements(0, 0, 0, 2))", {0, 0, 0, 0.5}},
        {"Quaternion.multiply(q(), Quaternion.inverse(q()))", {0, 0, 0, 1}},
        {"Quaternion.dot(q(), p()), Quaternion.norm(Quaternion.from_elements(1, 2, 2, 4))", {dot(q, p), 5}},
        // A negative angle about x is the positive angle about -x.
        {"Quaternion.angle(q()), Quaternion.decompose(p())", {0.7, -1, 0, 0, 1.2}},
        {"Quaternion.normalize(Quaternion.from_elements(0, 0, 0, 0)), Quaternion.identity()",
         {0, 0, 0, 1, 0, 0, 0, 1}},
        {"Quaternion.normalize(Quaternion.from_elements(0, 3, 0, 4))", {0, 0.6, 0, 0.8}},
        {"Quaternion.forward(q()), Quaternion.up(q()), Quaternion.right(q())",
         join({flat(rotate(q, {0, 1, 0})), flat(rotate(q, {0, 0, 1})), flat(rotate(q, {1, 0, 0}))})},
        {"Quaternion.equal(q(), q()), Quaternion.equal(q(), p())", {1, 0}},
        {"Quaternion.to_elements(p())", flat(p)},
        {"Quaternion.matrix4x4(q())", flat(matrix4x4_from_quaternion(q))},
        // look: forward along the direction, up as close to the given up as it can be.
        {"Quaternion.forward(Quaternion.look(Vector3(3, 0, 0), Vector3(0, 0, 1)))", {1, 0, 0}},
        {"Quaternion.up(Quaternion.look(Vector3(0, 2, 2), Vector3(0, 0, 1)))", {0, -0.7071068, 0.7071068}},
        {"Quaternion.right(Quaternion.look(Vector3(0, 1, 0), Vector3(0, 0, 1)))", {1, 0, 0}},
        // lerp takes the short way: p and -p give the same rotation.
        {"Quaternion.lerp(q(), p(), 0.3)", flat(normalize(Quaternion{q.x + (p.x - q.x) * 0.3f, q.y + (p.y - q.y) * 0.3f,
                                                                    q.z + (p.z - q.z) * 0.3f, q.w + (p.w - q.w) * 0.3f}))},
        {"Quaternion.lerp(q(), Quaternion.from_elements(-0, -0, -math.sin(0.35), -math.cos(0.35)), 0.5)", flat(q)},
        {"Quaternion.lerp(Quaternion.identity(), Quaternion.from_elements(0, 0, -1, 0), 0.5)",
         {0, 0, -0.7071068, 0.7071068}},

        {"Matrix4x4.to_elements(Matrix4x4.identity())", {1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}},
        {"Matrix4x4(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12)",
         {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12, 1}},
        {"Matrix4x4.from_elements(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12)",
         {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12, 1}},
        {"Matrix4x4.zero()", std::vector<f64>(16, 0.0)},
        {"Matrix4x4.element(m(), 4, 2), Matrix4x4.element(m(), 1, 4)", {2, 0}},
        // m x n transforms by m first, then by n.
        {"Matrix4x4.multiply(m(), n())", flat(m * n)},
        {"Matrix4x4.transform(Matrix4x4.multiply(m(), n()), Vector3(0.3, -0.7, 2))",
         flat(transform_point(n, transform_point(m, v)))},
        {"Matrix4x4.inverse(m())", flat(m_inverse)},
        {"Matrix4x4.transform(Matrix4x4.inverse(m()), Matrix4x4.transform(m(), Vector3(0.3, -0.7, 2)))", flat(v)},
        {"Matrix4x4.transform_without_translation(m(), Vector3(0.3, -0.7, 2))",
         flat(transform_without_translation(m, v))},
        {"Matrix4x4.axis(m(), 2), Matrix4x4.translation(m()), Matrix4x4.x(m()), Matrix4x4.up(m())",
         join({flat(axis(m, 1)), flat(axis(m, 3)), flat(axis(m, 0)), flat(axis(m, 2))})},
        {"Matrix4x4.rotation(m())", flat(matrix_to_quaternion(m))},
        {"Quaternion.from_matrix4x4(m())", flat(matrix_to_quaternion(m))},
        {"Matrix4x4.from_translation(Vector3(1, 2, 3))", {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 1, 2, 3, 1}},
        {"Matrix4x4.from_quaternion(q())", flat(matrix4x4_from_quaternion(q))},
        {"Matrix4x4.from_axes(Vector3(0, 1, 0), Vector3(-1, 0, 0), Vector3(0, 0, 1), Vector3(5, 6, 7))",
         {0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1, 0, 5, 6, 7, 1}},
        {"Matrix4x4.equal(m(), Matrix4x4.copy(m())), Matrix4x4.equal(m(), n())", {1, 0}},
        {"Matrix4x4.lerp(Matrix4x4.identity(), Matrix4x4.from_quaternion_position("
         "Quaternion(Vector3(0, 0, 1), math.pi / 2), Vector3(2, 0, 0)), 0.5)",
         flat(matrix4x4_from_quaternion(quaternion_from_axis_angle({0, 0, 1}, pi / 4), {1, 0, 0}))},
    };
    for (const Case &c : cases)
        check(*this, c);
}

TEST_F(MathApiTest, RayBoxPointAndFrustumTests)
{
    ASSERT_EQ(run("box = function() return Matrix4x4.from_quaternion_position("
                  "Quaternion(Vector3(0, 0, 1), math.pi / 4), Vector3(10, 0, 0)) end\n"
                  "unit = function() return Vector3(1, 1, 1) end\n"),
              "");
    const f64 diagonal = std::sqrt(2.0);
    const Case cases[] = {
        // Slab test, in units of the direction's length.
        {"Math.ray_box_intersection(Vector3(0, -10, 0), Vector3(0, 1, 0), Matrix4x4.identity(), unit())", {9}},
        {"Math.ray_box_intersection(Vector3(0, -10, 0), Vector3(0, 2, 0), Matrix4x4.identity(), unit())", {4.5}},
        {"Math.ray_box_intersection(Vector3(0, 0.5, 0), Vector3(0, 1, 0), Matrix4x4.identity(), unit())", {0.5}},
        {"Math.ray_box_intersection(Vector3(2, -10, 0), Vector3(0, 1, 0), Matrix4x4.identity(), unit())", {-1}},
        {"Math.ray_box_intersection(Vector3(0, 10, 0), Vector3(0, 1, 0), Matrix4x4.identity(), unit())", {-1}},
        {"Math.ray_box_intersection(Vector3(0, -10, 0), Vector3(0.5, 1, 0), Matrix4x4.identity(), unit())", {-1}},
        // The box turned 45 degrees about z: its corner points at the ray.
        {"Math.ray_box_intersection(Vector3(0, 0, 0), Vector3(1, 0, 0), box(), unit())", {10 - diagonal}},
        {"Math.ray_box_intersection(Vector3(0, 0, 0), Vector3(1, 0, 0), Matrix4x4.zero(), unit())", {-1}},
        // Strictly inside: a point on a face is out.
        {"Math.point_in_box(Vector3(0.99, -0.99, 0), Matrix4x4.identity(), unit())", {1}},
        {"Math.point_in_box(Vector3(1, 0, 0), Matrix4x4.identity(), unit())", {0}},
        {"Math.point_in_box(Vector3(10 + 1.4, 0, 0), box(), unit())", {1}},
        {"Math.point_in_box(Vector3(10 + 1, 1, 0), box(), unit())", {0}},
        // Frustum planes (normal, distance): inside when every corner is on or behind each.
        {"Math.box_in_frustum(Matrix4x4.identity(), unit())", {1}},
        {"Math.box_in_frustum(Matrix4x4.identity(), unit(), Vector3(1, 0, 0), 1, Vector3(-1, 0, 0), 1)", {1}},
        {"Math.box_in_frustum(Matrix4x4.identity(), unit(), Vector3(1, 0, 0), 1, Vector3(0, 1, 0), 0.99)", {0}},
        {"Math.box_in_frustum(box(), unit(), Vector3(1, 0, 0), 11.4)", {0}},
        {"Math.box_in_frustum(box(), unit(), Vector3(1, 0, 0), 11.42)", {1}},
        // Merged boxes keep the first pose's axes and enclose every corner.
        {"Math.merge_boxes(Matrix4x4.identity(), unit(), Matrix4x4.from_translation(Vector3(4, 0, 0)), "
         "Vector3(1, 2, 0.5))",
         {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 2, 0, 0, 1, 3, 2, 1}},
        {"Math.merge_boxes(Matrix4x4.from_translation(Vector3(1, 1, 1)), Vector3(1, 2, 3))",
         {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 1, 1, 1, 1, 1, 2, 3}},
        {"Math.merge_boxes(Matrix4x4.identity(), unit(), box(), unit())",
         {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, (10 + diagonal - 1) / 2, 0, 0, 1, (10 + diagonal + 1) / 2, diagonal,
          1}},
    };
    for (const Case &c : cases)
        check(*this, c);
}

TEST_F(MathApiTest, MetamethodsAndSettersWriteOnlyTheirOwnTemporary)
{
    EXPECT_EQ(run("local v, w = Vector3(1, 2, 3), Vector3(4, 5, 6)\n"
                  "assert(Vector3.equal(2 * v, v * 2) and Vector3.equal(v * 2, Vector3(2, 4, 6)))\n"
                  "assert(Vector3.equal(v * w, Vector3.zero()))\n"
                  "assert(Vector3.equal(v + w, Vector3(5, 7, 9)) and Vector3.equal(w - v, Vector3(3, 3, 3)))\n"
                  "assert(Vector3.equal(v / 2, Vector3(0.5, 1, 1.5)) and Vector3.equal(-v, Vector3(-1, -2, -3)))\n"
                  "assert(v.x == 1 and v.xyz == 1 and v[1] == 1 and v.y == 2 and v[3] == 3)\n"
                  "assert(v.w == nil and v[0] == nil and v[4] == nil and v[true] == nil)\n"
                  "local q = Quaternion.from_elements(1, 2, 3, 4)\n"
                  "assert(q.x == 1 and q.z == 3 and q.w == nil)\n"
                  "v.y = 20; v[3] = 30; v.w = 99\n"
                  "assert(Vector3.equal(v, Vector3(1, 20, 30)) and Vector3.equal(w, Vector3(4, 5, 6)))\n"
                  // Results are new temporaries; the arguments stay as they were.
                  "local n = Vector3.normalize(w)\n"
                  "assert(Vector3.equal(w, Vector3(4, 5, 6)) and not Vector3.equal(n, w))\n"
                  "Vector3.set_element(w, 2, 50); Vector3.set_x(w, 40); Vector3.set_z(w, 60)\n"
                  "assert(Vector3.equal(w, Vector3(40, 50, 60)) and Vector3.equal(v, Vector3(1, 20, 30)))\n"
                  "local m, k = Matrix4x4.identity(), Matrix4x4.identity()\n"
                  "Matrix4x4.set_element(m, 4, 4, 7)\n"
                  "Matrix4x4.set_axis(m, 4, Vector3(1, 2, 3))\n"
                  "Matrix4x4.set_forward(m, Vector3(0, 2, 0))\n"
                  "assert(Matrix4x4.element(m, 4, 4) == 7 and Matrix4x4.element(m, 4, 3) == 3)\n"
                  "assert(Matrix4x4.element(m, 2, 2) == 2 and Matrix4x4.equal(k, Matrix4x4.identity()))\n"
                  "Matrix4x4.set_translation(k, Vector3(9, 9, 9))\n"
                  "Matrix4x4.set_rotation(k, Quaternion(Vector3(0, 0, 1), math.pi))\n"
                  "assert(Matrix4x4.element(k, 4, 1) == 9 and math.abs(Matrix4x4.element(k, 1, 1) + 1) < 1e-6)\n"
                  "local t = Matrix4x4.transform(m, Vector3(1, 1, 1))\n"
                  "assert(Vector3.equal(Matrix4x4.translation(m), Vector3(1, 2, 3)))\n"
                  // Texts of the math tables themselves.
                  "assert(Vector3.to_string(Vector3(1, 0.5, -2)) == '(1, 0.5, -2)')\n"
                  "assert(Quaternion.to_string(Quaternion.identity()) == '(0, 0, 0, 1)')\n"
                  "assert(Matrix4x4.to_string(Matrix4x4.from_translation(Vector3(1, 2, 1e6))) ==\n"
                  "  'x = [1, 0, 0]\\ny = [0, 1, 0]\\nz = [0, 0, 1]\\nt = [1, 2, 1e+06]\\n')\n"),
              "");
}

TEST_F(MathApiTest, WrongArgumentsAreScriptErrorsAndWriteNothing)
{
    ASSERT_EQ(run("v = Vector3(1, 2, 3); w = Vector3(7, 8, 9); m = Matrix4x4.identity(); q = Quaternion.identity()"),
              "");
    lua_State *L = env.state();
    LuaStack(L).push_unit_reference(0x00010002);
    lua_setglobal(L, "unit");
    static int object = 0x12345678;
    lua_pushlightuserdata(L, &object);
    lua_setglobal(L, "object");
    const ScriptErrorCase cases[] = {
        {"Vector3.set_element(v, 4, 0)", "bad argument #2 to 'Vector3.set_element' (4 out of range [1, 3])"},
        {"Vector3.set_element(v, 0, 0)", "bad argument #2 to 'Vector3.set_element' (0 out of range [1, 3])"},
        {"Vector3.element(v, 9)", "bad argument #2 to 'Vector3.element' (9 out of range [1, 3])"},
        {"Matrix4x4.set_element(m, 5, 1, 0)", "bad argument #2 to 'Matrix4x4.set_element' (5 out of range [1, 4])"},
        {"Matrix4x4.set_element(m, 1, 0, 0)", "bad argument #3 to 'Matrix4x4.set_element' (0 out of range [1, 4])"},
        {"Matrix4x4.set_axis(m, 5, v)", "bad argument #2 to 'Matrix4x4.set_axis' (5 out of range [1, 4])"},
        {"Matrix4x4.axis(m, -1)", "bad argument #2 to 'Matrix4x4.axis' (-1 out of range [1, 4])"},
        {"Vector3.length(5)", "bad argument #1 to 'Vector3.length' (Vector3 expected, got number)"},
        {"Vector3.length(nil)", "bad argument #1 to 'Vector3.length' (Vector3 expected, got nil)"},
        {"Vector3.length(unit)", "bad argument #1 to 'Vector3.length' (Vector3 expected, got Unit)"},
        {"Vector3.length(object)", "bad argument #1 to 'Vector3.length' (Vector3 expected, got light userdata)"},
        {"Vector3.length(q)", "bad argument #1 to 'Vector3.length' (Vector3 expected, got Quaternion)"},
        // A Vector3 given to a matrix setter would be written 64 bytes deep.
        {"Matrix4x4.set_translation(v, w)",
         "bad argument #1 to 'Matrix4x4.set_translation' (Matrix4x4 expected, got Vector3)"},
        {"Matrix4x4.set_rotation(m, v)", "bad argument #2 to 'Matrix4x4.set_rotation' (Quaternion expected, got Vector3)"},
        {"Quaternion.rotate(v, v)", "bad argument #1 to 'Quaternion.rotate' (Quaternion expected, got Vector3)"},
        {"Vector3(1, 2)", "bad argument #4 to 'Vector3.__call' (number expected, got no value)"},
        {"Vector3.add(v)", "bad argument #2 to 'Vector3.add' (Vector3 expected, got no value)"},
        {"local x = v + 1", "bad argument #2 to 'LightUserData.__add' (Vector3 expected, got number)"},
        {"local x = object * 2", "bad argument #1 to 'LightUserData.__mul' (Vector3 expected, got light userdata)"},
        // Component writes only reach math values.
        {"object.x = 1", "bad argument #1 to 'LightUserData.__newindex' (Vector3 expected, got light userdata)"},
        {"unit.x = 1", "bad argument #1 to 'LightUserData.__newindex' (Vector3 expected, got Unit)"},
        {"v.x = 'a'", "bad argument #3 to 'LightUserData.__newindex' (number expected, got string)"},
        {"Math.merge_boxes()", "bad argument #1 to 'Math.merge_boxes' (Matrix4x4 expected, got no value)"},
        {"Math.merge_boxes(m)", "bad argument #2 to 'Math.merge_boxes' (Vector3 expected, got no value)"},
        {"Math.merge_boxes(Matrix4x4.zero(), v)", "bad argument #1 to 'Math.merge_boxes' (the pose has no inverse)"},
        {"Math.box_in_frustum(m, v, v)", "bad argument #4 to 'Math.box_in_frustum' (number expected, got no value)"},
        {"Math.random(0)", "bad argument #1 to 'Math.random' (0 out of range [1, 4294967296])"},
        {"Math.random(3, 1)", "bad argument #2 to 'Math.random' (interval is empty (1 < 3))"},
        {"Math.random(0, 2^33)", "bad argument #2 to 'Math.random' (interval larger than 2^32 values)"},
    };
    expect_script_errors(cases, [&](const char *code) { return run(code); });
    // Nothing was written by the refused calls; reads through non-math values give nil.
    EXPECT_EQ(run("assert(Vector3.equal(v, Vector3(1, 2, 3)) and Vector3.equal(w, Vector3(7, 8, 9)))\n"
                  "assert(Matrix4x4.equal(m, Matrix4x4.identity()))\n"
                  "assert(object.x == nil and unit.x == nil and object[1] == nil)\n"
                  "assert(Matrix4x4.inverse(Matrix4x4.zero()) == nil)"),
              "");
    EXPECT_EQ(object, 0x12345678);
}

/// The state after `state` that the generator moves to.
u32 lcg(u32 state) { return state * 1664525u + 1013904223u; }

TEST_F(MathApiTest, RandomFollowsTheProgramWideSequence)
{
    set_math_random_state(0);
    std::vector<f64> got = eval("Math.random(), Math.random(), Math.random(10), Math.random(-5, 5), Math.random(1, 1)");
    ASSERT_EQ(got.size(), 5u);
    u32 s1 = lcg(0), s2 = lcg(s1), s3 = lcg(s2);
    EXPECT_EQ(got[0], 1013904223.0 / 4294967296.0);
    EXPECT_EQ(got[1], s2 / 4294967296.0);
    EXPECT_EQ(got[2], std::floor(10 * (s3 / 4294967296.0) + 1));
    EXPECT_EQ(got[3], std::floor(11 * (lcg(s3) / 4294967296.0) - 5));
    EXPECT_EQ(got[4], 1);

    EXPECT_EQ(run("for i = 1, 10000 do\n"
                  "  local r = Math.random(-3, 4)\n"
                  "  assert(r >= -3 and r <= 4 and r == math.floor(r), r)\n"
                  "  local u = Math.random()\n"
                  "  assert(u >= 0 and u < 1)\n"
                  "end"),
              "");

    // The largest draw with n above 2^24 stays n (a 32-bit float would round it to n + 1).
    u32 inverse = 1664525u; // multiplicative inverse of the multiplier modulo 2^32 by Newton steps
    for (int i = 0; i < 5; ++i)
        inverse *= 2u - 1664525u * inverse;
    ASSERT_EQ(inverse * 1664525u, 1u);
    const u32 before_max = (0xFFFFFFFFu - 1013904223u) * inverse;
    ASSERT_EQ(lcg(before_max), 0xFFFFFFFFu);
    for (f64 n : {16777219.0, 4294967296.0}) {
        set_math_random_state(before_max);
        std::vector<f64> r = eval("Math.random(" + std::to_string(u64(n)) + ")");
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0], n);
    }
}

TEST_F(MathApiTest, JobThreadStatesGetTheMathAndCoreTablesOnly)
{
    StringScriptSource job_source;
    LuaEnvironment job(&job_source, default_allocator());
    register_job_thread_script_api(job);
    lua_State *L = job.state();
    ASSERT_EQ(luaL_loadstring(L, "local v = Vector3(1, 2, 3) + Vector3.up()\n"
                                 "assert(Math.random(2) <= 2 and Matrix4x4.identity() and Quaternion.identity())\n"
                                 "assert(tostring(v) == 'Vector3(1, 2, 4)')\n"
                                 "assert(Script.temp_count() == 3 and Profiler.start('x') == nil)\n"
                                 "assert(Localizer == nil and ResourcePackage == nil)"),
              0);
    EXPECT_EQ(lua_pcall(L, 0, 0, 0), 0) << lua_tostring(L, -1);
}

} // namespace
} // namespace tallow::test
