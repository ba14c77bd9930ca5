// The animation functions of the Application table over loaded resources: camera animations
// sampled between keys, at cuts and outside their keys, their camera names, animations
// handed out, and bad arguments refused with errors naming the function and argument.
#include "boot_script_fixture.h"

#include "animation/animation_resources.h"
#include "tests/support/writers/animation_writer.h"

namespace tallow::test {
namespace {

std::string bytes_of(const std::vector<u8> &v) { return std::string(v.begin(), v.end()); }

constexpr f32 h = 0.70710678f; // cos 45°

CameraAnimationSource cameras()
{
    CameraAnimationSource s;
    s.names = {"intro", "orbit", "close"};
    // Camera 0: a glide, a cut between t = 3 and 4 (4.5 apart), then a short drift. The
    // second rotation key is a quarter turn about z written with the opposite sign.
    s.tracks16.push_back({1, 0, 0, 0, /**/ 3, 0.5f, 0, 0, /**/ 4, 5, 0, 0, /**/ 6, 5, 0.6f, 0});
    s.tracks20.push_back({1, 0, 0, 0, 1, /**/ 3, 0, 0, -h, -h, /**/ 4, 1, 0, 0, 0, /**/ 6, 0, 1, 0, 0});
    s.tracks8.push_back({1, 10, /**/ 3, 20, /**/ 4, 30, /**/ 6, 40});
    // Camera 1: keys exactly 1.0 apart are a cut; no rotation keys.
    s.tracks16.push_back({0, 0, 0, 0, /**/ 2, 0, 1, 0});
    s.tracks20.push_back({});
    s.tracks8.push_back({0, 1, /**/ 2, 3});
    // Camera 2: keys just under 1.0 apart blend; one rotation key; no scalar keys.
    s.tracks16.push_back({0, 0, 0, 0, /**/ 2, 0, 0.99f, 0});
    s.tracks20.push_back({5, 0, 0, 1, 0});
    s.tracks8.push_back({});
    return s;
}

class CameraAnimationApiTest : public BootScriptTest {
  protected:
    CameraAnimationApiTest()
    {
        register_resource_types = register_animation_resource_types;
        AnimationSource door;
        door.length = 1;
        door.frames = {{0, {{{0, 0, 0}, {0, 0, 0, 1}}}}, {1, {{{0, 0, 1}, {0, 0, 0, 1}}}}};
        write_settings("");
        write_data({
            {"package", "boot",
             package_resource({{"camera_animation", "cameras/intro"}, {"animation", "anims/door"}})},
            {"camera_animation", "cameras/intro", bytes_of(write_camera_animation(cameras()))},
            {"animation", "anims/door", bytes_of(write_animation(door))},
        });
    }
};

struct SampleCase {
    const char *what;
    u32 camera;
    f32 t;
    f32 px, py, pz, qx, qy, qz, qw, value;
};

TEST_F(CameraAnimationApiTest, SamplesBlendBetweenKeysHoldAtCutsAndClampOutside)
{
    const f32 s45 = 0.38268343f, c45 = 0.92387953f; // a 45° turn about z
    const SampleCase cases[] = {
        {"before the first key", 0, 0, 0, 0, 0, 0, 0, 0, 1, 10},
        {"at the first key", 0, 1, 0, 0, 0, 0, 0, 0, 1, 10},
        // Halfway: the second rotation flipped to the near side, the blend normalised.
        {"between keys", 0, 2, 0.25f, 0, 0, 0, 0, s45, c45, 15},
        {"inside a cut", 0, 3.5f, 0.5f, 0, 0, 0, 0, -h, -h, 20},
        {"at the key after a cut", 0, 4, 5, 0, 0, 1, 0, 0, 0, 30},
        {"between keys after a cut", 0, 5, 5, 0.3f, 0, h, h, 0, 0, 35},
        {"after the last key", 0, 7, 5, 0.6f, 0, 0, 1, 0, 0, 40},
        {"keys 1.0 apart cut", 1, 1, 0, 0, 0, 0, 0, 0, 1, 1},
        {"after the last key of a cut", 1, 2, 0, 1, 0, 0, 0, 0, 1, 3},
        {"keys under 1.0 apart blend", 2, 1, 0, 0.495f, 0, 0, 0, 1, 0, 0},
    };
    std::string script =
        "local function near(a, b) return math.abs(a - b) < 1e-5 end\n"
        "local function check(what, camera, t, px, py, pz, qx, qy, qz, qw, value)\n"
        "  local p, q, v = Application.sample_camera_animation('cameras/intro', camera, t)\n"
        "  local x, y, z, w = Quaternion.to_elements(q)\n"
        "  local ok = near(p.x, px) and near(p.y, py) and near(p.z, pz) and near(x, qx) and\n"
        "    near(y, qy) and near(z, qz) and near(w, qw) and near(v, value)\n"
        "  if not ok then\n"
        "    print(string.format('%s: (%g %g %g) (%g %g %g %g) %g', what, p.x, p.y, p.z, x, y, z, w, v))\n"
        "  end\n"
        "end\n";
    char line[256];
    for (const SampleCase &c : cases) {
        snprintf(line, sizeof(line), "check('%s', %u, %.9g, %.9g, %.9g, %.9g, %.9g, %.9g, %.9g, %.9g, %.9g)\n",
                 c.what, c.camera, c.t, c.px, c.py, c.pz, c.qx, c.qy, c.qz, c.qw, c.value);
        script += line;
    }
    script += "print('sampled')";
    EXPECT_EQ(run_boot(script), "");
    EXPECT_EQ(log.count("[Lua] sampled"), 1);
    // A case that does not match prints what it got.
    for (const std::string &l : log.lines())
        if (l.rfind("[Lua]", 0) == 0 && l != "[Lua] sampled")
            ADD_FAILURE() << l;
}

TEST_F(CameraAnimationApiTest, CameraNamesAndAnimationsComeFromTheLoadedResources)
{
    EXPECT_EQ(run_boot("local bones = Application.camera_animation_bones('cameras/intro')\n"
                       "assert(bones.intro == 0 and bones.orbit == 1 and bones.close == 2)\n"
                       "local n = 0\nfor _ in pairs(bones) do n = n + 1 end\nassert(n == 3, n)\n"
                       "local a = Application.get_animation('anims/door')\n"
                       "assert(type(a) == 'userdata' and a == Application.get_animation('anims/door'))\n"
                       "print('found')"),
              "");
    EXPECT_EQ(log.count("[Lua] found"), 1);
}

TEST_F(CameraAnimationApiTest, BadArgumentsRaiseErrorsNamingFunctionAndArgument)
{
    EXPECT_EQ(
        run_boot(
            "local function refused(expected, f, ...)\n"
            "  local ok, e = pcall(f, ...)\n"
            "  if ok or not e:find(expected, 1, true) then print('not refused: ' .. expected .. ' / ' .. tostring(e)) end\n"
            "end\n"
            "local A = Application\n"
            "refused(\"bad argument #1 to 'Application.sample_camera_animation' (no \\\"camera_animation\\\" \"\n"
            "  .. 'resource of that name is loaded)', A.sample_camera_animation, 'cameras/missing', 0, 0)\n"
            "refused(\"bad argument #1 to 'Application.sample_camera_animation' (string expected\",\n"
            "  A.sample_camera_animation, nil, 0, 0)\n"
            "refused(\"bad argument #2 to 'Application.sample_camera_animation' (camera 3 out of range\",\n"
            "  A.sample_camera_animation, 'cameras/intro', 3, 0)\n"
            "refused(\"bad argument #2 to 'Application.sample_camera_animation' (camera -1 out of range\",\n"
            "  A.sample_camera_animation, 'cameras/intro', -1, 0)\n"
            "refused(\"bad argument #2 to 'Application.sample_camera_animation' (number expected\",\n"
            "  A.sample_camera_animation, 'cameras/intro', 'intro', 0)\n"
            "refused(\"bad argument #3 to 'Application.sample_camera_animation' (number expected\",\n"
            "  A.sample_camera_animation, 'cameras/intro', 0, 'soon')\n"
            "refused(\"bad argument #3 to 'Application.sample_camera_animation' (number expected\",\n"
            "  A.sample_camera_animation, 'cameras/intro', 0)\n"
            "refused(\"bad argument #1 to 'Application.camera_animation_bones' (no \\\"camera_animation\\\"\",\n"
            "  A.camera_animation_bones, 'anims/door')\n"
            "refused(\"bad argument #1 to 'Application.get_animation' (no \\\"animation\\\" resource\",\n"
            "  A.get_animation, 'cameras/intro')\n"
            "refused(\"bad argument #1 to 'Application.get_animation' (string expected\", A.get_animation)\n"
            // A NaN time is a number: the first keys.
            "local p, q, v = A.sample_camera_animation('cameras/intro', 0, 0/0)\n"
            "assert(p.x == 0 and select(4, Quaternion.to_elements(q)) == 1 and v == 10)\n"
            "print('refused')"),
        "");
    EXPECT_EQ(log.count("[Lua] refused"), 1);
    for (const std::string &l : log.lines())
        if (l.rfind("[Lua]", 0) == 0 && l != "[Lua] refused")
            ADD_FAILURE() << l;
}

} // namespace
} // namespace tallow::test
