// The Camera, Light and Mesh tables and Unit.camera, Unit.light and Unit.mesh, called from
// Lua over a unit in a real render world: settings reach the render side, the screen and
// world conversions invert each other, bad arguments and destroyed units raise.
#include "script_fixture.h"

#include "render/materials/material_resource.h"
#include "render/world/render_camera.h"
#include "render/world/render_light.h"
#include "script/render/render_api.h"
#include "script/runtime/lua_stack.h"
#include "script/script_api.h"
#include "script/world/world_api.h"
#include "tests/render/world/render_scene_fixture.h"
#include "tests/support/writers/unit_mesh_writer.h"
#include "tests/support/writers/unit_resource_writer.h"
#include "world/units/unit.h"
#include "world/units/unit_resource.h"
#include "world/world.h"

namespace tallow::test {
namespace {

u32 bits(f32 f)
{
    u32 b;
    memcpy(&b, &f, 4);
    return b;
}

bool test_screen(LuaEnvironment &, u32 &w, u32 &h, f32 &aspect)
{
    w = 1280;
    h = 720;
    aspect = -1;
    return true;
}

/// A unit with a box mesh at its root, and a camera and a light on a node 3 m above it.
std::vector<u8> camera_unit()
{
    UnitSource u;
    const u32 root = u.add_node("root", matrix4x4_identity, no_parent);
    const u32 top = u.add_node("top", placed_at(0, 0, 3), root);
    UnitSourceMesh body{NameId32("body").value(), root, {0, 0}, 1};
    add_mesh_geometry(u, body, box_mesh(0.5f, 0.5f, 0.5f, "crate"));
    u.meshes.push_back(body);
    u.cameras.push_back({NameId32("eye").value(), top, {bits(0.5f), bits(50.0f), bits(0.8f)}});
    UnitSourceLight light{NameId32("lamp").value(), top, {}};
    const f32 settings[8] = {1, 0.5f, 0.25f, 0, 6, 1, 0, 1.2f};
    for (int i = 0; i < 8; ++i)
        light.settings[i] = bits(settings[i]);
    u.lights.push_back(light);
    return write_unit_resource(u);
}

class RenderObjectApiTest : public ScriptTest {
  protected:
    RenderScene scene{0};
    std::vector<u8> bytes = camera_unit();
    UnitResource *resource = nullptr;
    MaterialResource materials{default_allocator()};
    std::unique_ptr<World> world;
    Unit *unit = nullptr;
    Unit *other = nullptr;

    RenderObjectApiTest()
    {
        resource = read_unit_resource(bytes.data(), bytes.size(), default_allocator(), NameId64("units/eye"));
        materials.entries.push_back(&scene.material);
        WorldParams params;
        params.render_world = scene.world.get();
        params.render_link = scene.link.get();
        world = std::make_unique<World>(default_allocator(), params);
        register_script_api(env, nullptr, nullptr, default_allocator());
        set_gui_resolution_source(test_screen);
        if (resource) {
            unit = world->spawn_unit_from_resource(*resource, &materials, placed_at(2, 1, 0));
            other = world->spawn_unit_from_resource(*resource, &materials, matrix4x4_identity);
        }
        step();
        LuaStack stack(env.state());
        if (unit && other) {
            stack.push_unit_reference(unit->handle());
            lua_setglobal(env.state(), "u");
            stack.push_unit_reference(other->handle());
            lua_setglobal(env.state(), "other");
        }
        EXPECT_EQ(run("cam = Unit.camera(u, 'eye')\nlamp = Unit.light(u, 'lamp')\nbody = Unit.mesh(u, 'body')\n"
                      "assert(cam and lamp and body)"),
                  "");
    }
    ~RenderObjectApiTest() override
    {
        lua_settop(env.state(), 0);
        world.reset();
        scene.frame();
        set_gui_resolution_source(nullptr);
        materials.entries.clear();
        destroy_unit_resource(resource, default_allocator());
    }
    void step()
    {
        world->update(1.0f / 30);
        scene.frame();
    }
    const RenderCamera *render_camera()
    {
        RenderObject *o = scene.world->object(unit->camera(0)->handle());
        return o && o->class_id() == u32(RenderObjectClass::Camera) ? static_cast<RenderCamera *>(o) : nullptr;
    }
};

TEST_F(RenderObjectApiTest, UnitsHandOutTheirCamerasLightsAndMeshesByNameOrIndex)
{
    ASSERT_TRUE(unit);
    // Made inside a coroutine, they are the same objects.
    EXPECT_EQ(run("local function inside(f) local co = coroutine.create(f); local ok, v = coroutine.resume(co); assert(ok, v); return v end\n"
                  "local c, l, m = inside(function() return Unit.camera(u, 'eye') end), inside(function() return Unit.light(u, 0) end),\n"
                  "  inside(function() return Unit.mesh(u, 'body') end)\n"
                  "assert(getmetatable(c) == Camera and Camera.node(c) == 1 and getmetatable(l) == Light and Light.node(l) == 1)\n"
                  "assert(getmetatable(m) == Mesh and Mesh.node(m) == 0)\n"),
              "");
    EXPECT_EQ(run("assert(Unit.camera(u, 'none') == nil and Unit.mesh(u, 'none') == nil)\n"
                  "assert(Unit.light(u, 'none') == nil and Unit.light(u, 1) == nil and Unit.light(u, -1) == nil)\n"
                  "assert(Unit.light(u, 0) ~= nil and Light.falloff_end(Unit.light(u, 0)) == 6)\n"
                  "assert(Camera.node(cam) == 1 and Light.node(lamp) == 1 and Mesh.node(body) == 0)\n"
                  "local p = Camera.world_position(cam)\n"
                  "assert(p.x == 2 and p.y == 1 and p.z == 3)\n"
                  "p = Mesh.local_position(body)\n"
                  "assert(p.x == 2 and p.y == 1 and p.z == 0) -- the root node: the unit's own pose\n"
                  "Camera.set_local_position(cam, u, Vector3(0, -1, 4))\n"
                  "Light.set_local_rotation(lamp, u, Quaternion(Vector3(0, 0, 1), 0))\n"
                  "Mesh.set_local_pose(body, u, Matrix4x4.identity())\n"),
              "");
    EXPECT_EQ(translation(unit->scene_graph().local_pose(1)).z, 4.0f);
    step();
    // The root now stands at the origin, the camera's node 4 m above and 1 m behind it.
    EXPECT_EQ(run("local p = Camera.world_position(cam)\nassert(p.x == 0 and p.y == -1 and p.z == 4, tostring(p))"), "");
}

TEST_F(RenderObjectApiTest, UnitBoxesCentreOnTheirMeshesAndRenderingRecordsTheCameraPose)
{
    ASSERT_TRUE(unit);
    // The crate mesh is a 1 m cube round the root of a unit standing at (2, 1, 0).
    EXPECT_EQ(run("local pose, half = Unit.box(u)\n"
                  "local c = Matrix4x4.translation(pose)\n"
                  "assert(math.abs(c.x - 2) < 1e-5 and math.abs(c.y - 1) < 1e-5 and math.abs(c.z) < 1e-5, tostring(c))\n"
                  "assert(math.abs(half.x - 0.5) < 1e-5 and math.abs(half.y - 0.5) < 1e-5 and math.abs(half.z - 0.5) < 1e-5)\n"
                  "local ok, e = pcall(Unit.box, nil)\n"
                  "assert(not ok and e:find('Unit.box'), e)\n"
),
              "");
}

TEST_F(RenderObjectApiTest, CameraSettingsReachTheRenderSide)
{
    ASSERT_TRUE(unit);
    EXPECT_EQ(run("assert(math.abs(Camera.near_range(cam) - 0.5) < 1e-6 and Camera.far_range(cam) == 50)\n"
                  "assert(math.abs(Camera.vertical_fov(cam) - 0.8) < 1e-6)\n"
                  "assert(Camera.projection_type(cam) == Camera.PERSPECTIVE)\n"
                  "Camera.set_near_range(cam, 0.25)\n"
                  "Camera.set_far_range(cam, 80)\n"
                  "Camera.set_vertical_fov(cam, 1)\n"
                  "Camera.set_orthographic_view(cam, -4, 4, -3, 3)\n"
                  "Camera.set_projection_type(cam, Camera.ORTHOGRAPHIC)\n"),
              "");
    step();
    const RenderCamera *rc = render_camera();
    ASSERT_TRUE(rc);
    const CameraBlock &b = rc->block();
    EXPECT_EQ(b.near_range, 0.25f);
    EXPECT_EQ(b.far_range, 80.0f);
    EXPECT_EQ(b.vertical_fov, 1.0f);
    EXPECT_EQ(b.ortho_left, -4.0f);
    EXPECT_EQ(b.ortho_top, 3.0f);
    EXPECT_EQ(b.projection_type, camera_orthographic);
}

TEST_F(RenderObjectApiTest, ScreenAndWorldConversionsInvertEachOther)
{
    ASSERT_TRUE(unit);
    // The camera stands at (2, 1, 3) looking along y: the screen's centre at depth 5 is 5 m
    // straight ahead; points ahead are inside the frustum, points behind it are not.
    EXPECT_EQ(run("local p = Camera.screen_to_world(cam, Vector3(640, 5, 360))\n"
                  "assert(math.abs(p.x - 2) < 1e-5 and math.abs(p.y - 6) < 1e-5 and math.abs(p.z - 3) < 1e-5, "
                  "tostring(p))\n"
                  "assert(Camera.inside_frustum(cam, Vector3(2, 11, 3)) > 0)\n"
                  "assert(Camera.inside_frustum(cam, Vector3(2, -4, 3)) < 0)\n"
                  "assert(Camera.inside_frustum(cam, Vector3(2, 100, 3)) < 0)\n"),
              "");
    // Round trips for both projections, the camera's node turned a quarter about z.
    EXPECT_EQ(run("Camera.set_local_rotation(cam, u, Quaternion(Vector3(0, 0, 1), 1.5707963))"), "");
    step();
    const char *round_trip = "local points = {Vector3(640, 5, 360), Vector3(0, 2, 0), Vector3(1280, 0.9, 720),\n"
                             "                Vector3(100, 0.3, 600)}\n"
                             "for _, s in ipairs(points) do\n"
                             "  local w = Camera.screen_to_world(cam, s)\n"
                             "  local b = Camera.world_to_screen(cam, w)\n"
                             "  assert(math.abs(b.x - s.x) < 1e-2 and math.abs(b.y - s.y) < 1e-4 and\n"
                             "         math.abs(b.z - s.z) < 1e-2, tostring(s) .. ' came back as ' .. tostring(b))\n"
                             "end\n";
    EXPECT_EQ(run(round_trip), "");
    EXPECT_EQ(run("Camera.set_orthographic_view(cam, -4, 4, -3, 3)\n"
                  "Camera.set_projection_type(cam, Camera.ORTHOGRAPHIC)\n"
                  "local s = Camera.world_to_screen(cam, Camera.world_position(cam))\n"
                  "assert(math.abs(s.x - 640) < 1e-3 and math.abs(s.z - 360) < 1e-3, tostring(s))\n"),
              "");
    EXPECT_EQ(run(round_trip), "");
}

TEST_F(RenderObjectApiTest, LightPropertiesReachTheRenderSide)
{
    ASSERT_TRUE(unit);
    const Light &light = *unit->light(0);
    struct Case {
        const char *code;
        f32 LightBlock::*field;
        f32 value;
    };
    const Case cases[] = {
        {"Light.set_falloff_start(lamp, 1.5)", &LightBlock::falloff_start, 1.5f},
        {"Light.set_falloff_end(lamp, 9)", &LightBlock::falloff_end, 9.0f},
        {"Light.set_falloff_exponent(lamp, 2)", &LightBlock::word6, 2.0f},
        {"Light.set_spot_angle_start(lamp, 0.25)", &LightBlock::word7, 0.25f},
        {"Light.set_spot_angle_end(lamp, 0.75)", &LightBlock::spot_angle, 0.75f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(run(c.code), "");
        EXPECT_EQ(light.block().*c.field, c.value);
    }
    struct TypeCase {
        const char *name;
        u32 type;
    };
    const TypeCase types[] = {{"spot", light_spot}, {"bogus", light_spot}, {"directional", 2}, {"omni", light_omni}};
    for (const TypeCase &t : types) {
        SCOPED_TRACE(t.name);
        EXPECT_EQ(run(std::string("Light.set_type(lamp, '") + t.name + "')"), "");
        EXPECT_EQ(light.block().type, t.type);
    }
    EXPECT_EQ(run("Light.set_color(lamp, Vector3(0.5, 0.25, 1))\n"
                  "local c = Light.color(lamp)\n"
                  "assert(c.x == 0.5 and c.y == 0.25 and c.z == 1)\n"
                  "assert(Light.falloff_start(lamp) == 1.5 and Light.falloff_end(lamp) == 9)\n"
                  "Light.set_casts_shadows(lamp, true)"),
              "");
    u32 flags;
    memcpy(&flags, &light.block().word9, 4);
    EXPECT_EQ(flags, 1u);
    // set_data copies the whole block, to another unit's light too.
    EXPECT_EQ(run("Light.set_data(Unit.light(other, 'lamp'), lamp)"), "");
    EXPECT_EQ(memcmp(&other->light(0)->block(), &light.block(), sizeof(LightBlock)), 0);
    EXPECT_EQ(run("Light.set_casts_shadows(lamp, false)"), "");
    memcpy(&flags, &light.block().word9, 4);
    EXPECT_EQ(flags, 0u);
    step();
    // The render side has the last block.
    bool found = false;
    for (u32 s = 0; s < scene.world->slot_count(); ++s)
        if (RenderObject *o = scene.world->object_in_slot(s); o && o->class_id() == u32(RenderObjectClass::Light)) {
            const LightBlock &b = static_cast<RenderLight *>(o)->block();
            found |= b.falloff_end == 9.0f && b.spot_angle == 0.75f && b.color[2] == 1.0f;
        }
    EXPECT_TRUE(found);
}

TEST_F(RenderObjectApiTest, MeshMaterialsAreFoundBySlotName)
{
    ASSERT_TRUE(unit);
    EXPECT_EQ(run("m = Mesh.material(body, 'crate')\nassert(m ~= nil)\nassert(Mesh.material(body, 'none') == nil)"),
              "");
    lua_State *L = env.state();
    lua_getglobal(L, "m");
    LuaStack stack(L);
    Unit *owner = nullptr;
    u32 handle = 0;
    EXPECT_TRUE(material_reference(stack, lua_gettop(L), owner, handle));
    EXPECT_EQ(owner, unit);
    EXPECT_EQ(handle, unit->mesh(0)->material_at(0));
    lua_settop(L, 0);
    // The Material table sets its values on the render side.
    EXPECT_EQ(run("Material.set_vector3(m, 'tint', Vector3(0.25, 0.5, 1))"), "");
    step();
    RenderObject *o = scene.world->object(handle);
    ASSERT_TRUE(o && o->class_id() == u32(RenderObjectClass::Material));
    bool found = false;
    for (const MaterialValue &v : static_cast<RenderMaterial *>(o)->values())
        found |= v.variable == NameId32("tint").value() && v.value[0] == 0.25f && v.value[2] == 1.0f;
    EXPECT_TRUE(found);
}

TEST_F(RenderObjectApiTest, BadArgumentsAndDestroyedUnitsRaise)
{
    ASSERT_TRUE(unit);
    const ScriptErrorCase cases[] = {
        {"Camera.near_range(nil)", "bad argument #1 to 'Camera.near_range'"},
        {"Camera.near_range(u)", "bad argument #1 to 'Camera.near_range'"},
        {"Camera.far_range(lamp)", "bad argument #1 to 'Camera.far_range'"},
        {"Camera.set_near_range(cam, -1)", "bad argument #2 to 'Camera.set_near_range'"},
        {"Camera.set_far_range(cam, 0/0)", "bad argument #2 to 'Camera.set_far_range'"},
        {"Camera.set_vertical_fov(cam, 4)", "bad argument #2 to 'Camera.set_vertical_fov'"},
        {"Camera.set_projection_type(cam, 2)", "bad argument #2 to 'Camera.set_projection_type'"},
        {"Camera.set_orthographic_view(cam, 0, 1, 0)", "bad argument #5 to 'Camera.set_orthographic_view'"},
        {"Camera.screen_to_world(cam, 1)", "bad argument #2 to 'Camera.screen_to_world'"},
        {"Camera.world_to_screen(cam)", "bad argument #2 to 'Camera.world_to_screen'"},
        {"Camera.inside_frustum(body, Vector3(0, 0, 0))", "bad argument #1 to 'Camera.inside_frustum'"},
        {"Camera.set_local_position(cam, other, Vector3(0, 0, 0))", "is not the unit of this camera"},
        {"Camera.set_local_pose(cam, u, Vector3(0, 0, 0))", "bad argument #3 to 'Camera.set_local_pose'"},
        {"Light.set_falloff_end(lamp, 'x')", "bad argument #2 to 'Light.set_falloff_end'"},
        {"Light.set_color(lamp, 1)", "bad argument #2 to 'Light.set_color'"},
        {"Light.set_type(lamp, nil)", "bad argument #2 to 'Light.set_type'"},
        {"Light.set_data(lamp, cam)", "bad argument #2 to 'Light.set_data'"},
        {"Light.world_pose(cam)", "bad argument #1 to 'Light.world_pose'"},
        {"Mesh.material(body)", "bad argument #2 to 'Mesh.material'"},
        {"Mesh.material(cam, 'crate')", "bad argument #1 to 'Mesh.material'"},
        {"Unit.camera(u)", "bad argument #2 to 'Unit.camera'"},
        {"Unit.light(u, {})", "bad argument #2 to 'Unit.light'"},
        {"Unit.mesh(nil, 'body')", "bad argument #1 to 'Unit.mesh'"},
    };
    expect_script_errors(cases, [&](const char *code) { return run(code); });

    // Values kept past their unit's destruction raise; a new unit in the freed slot does not
    // answer for them.
    ASSERT_EQ(run("m = Mesh.material(body, 'crate')"), "");
    world->destroy_unit(*unit);
    unit = world->spawn_unit_from_resource(*resource, &materials, matrix4x4_identity);
    step();
    const ScriptErrorCase stale[] = {
        {"Camera.near_range(cam)", "the Camera's unit has been destroyed"},
        {"Camera.world_position(cam)", "the Camera's unit has been destroyed"},
        {"Light.set_type(lamp, 'spot')", "the Light's unit has been destroyed"},
        {"Mesh.node(body)", "the Mesh's unit has been destroyed"},
        {"Material.set_scalar(m, 'tint', 1)", "the Material's unit has been destroyed"},
    };
    expect_script_errors(stale, [&](const char *code) { return run(code); });
}

} // namespace
} // namespace tallow::test
