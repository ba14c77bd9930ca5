#include "tests/support/writers/level_writer.h"

#include <cstring>

namespace tallow::test {

namespace {

struct Out {
    std::vector<u8> bytes;
    void raw(const void *p, size_t n)
    {
        const size_t at = bytes.size();
        bytes.resize(at + n);
        if (n)
            memcpy(bytes.data() + at, p, n);
    }
    void u32_(u32 v) { raw(&v, 4); }
    void f32_(f32 v) { raw(&v, 4); }
    void u64_(u64 v) { raw(&v, 8); }
    void pad()
    {
        while (bytes.size() % 4)
            bytes.push_back(0);
    }
    u32 at() const { return u32(bytes.size()); }
    void set(u32 word, u32 v) { memcpy(bytes.data() + 4 * word, &v, 4); }
};

void script_entries(Out &o, const std::vector<LevelSourceScriptData> &entries)
{
    o.u32_(u32(entries.size()));
    for (const LevelSourceScriptData &e : entries) {
        o.u32_(u32(e.path.size()));
        if (e.path.empty())
            continue;
        for (u32 k : e.path)
            o.u32_(k);
        o.u32_(e.kind);
        if (e.kind == 2) {
            o.f32_(e.number);
        } else if (e.kind == 3) {
            o.u32_(u32(e.text.size()));
            o.raw(e.text.data(), e.text.size());
            o.pad();
        } else {
            o.u32_(e.value);
        }
    }
}

} // namespace

std::vector<u8> write_level_resource(const LevelSource &l)
{
    Out o;
    o.bytes.assign(72, 0); // the header (assign: GCC 12 misreads a resize from empty at -O3)
    o.set(0, u32(l.units.size()));
    for (const LevelSourceUnit &u : l.units) {
        o.u64_(u.name);
        o.u64_(u.material);
        for (f32 v : u.position)
            o.f32_(v);
        for (f32 v : u.rotation)
            o.f32_(v);
        o.u32_(0);
    }
    auto flow = [&] {
        o.set(7, o.at());
        o.raw(l.flow_defaults.data(), l.flow_defaults.size());
        o.pad();
        o.set(6, o.at());
        o.raw(l.flow_graph.data(), l.flow_graph.size());
        o.pad();
    };
    if (!l.flow_graph.empty() && l.flow_graph_first)
        flow();
    if (!l.unit_script_data.empty()) {
        o.set(1, o.at());
        for (size_t i = 0; i < l.units.size(); ++i)
            script_entries(o, i < l.unit_script_data.size() ? l.unit_script_data[i]
                                                            : std::vector<LevelSourceScriptData>{});
    }
    if (!l.level_script_data.empty()) {
        o.set(13, o.at());
        script_entries(o, l.level_script_data);
    }
    if (!l.lights.empty()) {
        o.set(2, o.at());
        o.u32_(u32(l.lights.size()));
        for (const LevelSourceLight &light : l.lights) {
            o.u32_(light.unit);
            o.u32_(light.light_name);
            o.raw(light.properties, 40);
        }
    }
    if (!l.prototype.empty()) {
        o.set(3, o.at());
        o.set(4, u32(l.prototype.size()));
        o.raw(l.prototype.data(), l.prototype.size());
        o.pad();
    }
    o.set(8, u32(l.triggers.size()));
    o.set(9, o.at());
    for (const LevelSourceTrigger &t : l.triggers) {
        o.raw(&t.pose, 64);
        for (f32 v : t.box)
            o.f32_(v);
        o.u32_(t.node);
        o.u32_(t.actor_template);
        o.u32_(t.shape_template);
    }
    o.set(10, u32(l.bindings.size()));
    o.set(11, o.at());
    for (const LevelSourceBinding &b : l.bindings) {
        o.u32_(b.unit);
        o.u32_(b.node);
        o.u32_(b.flag);
    }
    o.set(14, u32(l.particles.size()));
    o.set(15, o.at());
    for (const LevelSourceParticles &p : l.particles) {
        o.u64_(p.effect);
        for (f32 v : p.position)
            o.f32_(v);
        for (f32 v : p.rotation)
            o.f32_(v);
        o.u32_(0);
    }
    o.set(16, u32(l.splines.size()));
    o.set(17, o.at());
    for (const LevelSourceSpline &s : l.splines) {
        o.u32_(s.name);
        o.u32_(u32(s.points.size() / 3));
        for (size_t i = 0; i + 2 < s.points.size(); i += 3)
            o.f32_(s.points[i]), o.f32_(s.points[i + 1]), o.f32_(s.points[i + 2]);
    }
    if (!l.navigation_mesh.empty()) {
        o.set(12, o.at());
        o.raw(l.navigation_mesh.data(), l.navigation_mesh.size());
        o.pad();
    }
    if (!l.flow_graph.empty() && !l.flow_graph_first)
        flow();
    return o.bytes;
}

} // namespace tallow::test
