// The GUI service of a world with a render world: its guis and their render sides.
#include "render/gui/gui.h"
#include "world/services/world_services.h"

namespace tallow {

namespace {

class RenderGuiWorld final : public IGuiWorld {
  public:
    RenderGuiWorld(Allocator &allocator, RenderWorld &render_world, WorldRenderLink &link, const ResourceLookup &resources)
        : _guis(allocator, render_world, link, resources)
    {
    }
    void update(f32) override {}
    bool is_available() const override { return true; }
    Gui *create_gui(const GuiCreateParams &params) override { return _guis.create_gui(params); }
    bool destroy_gui(Gui *gui) override { return _guis.destroy_gui(gui); }
    bool owns(const Gui *gui) const override { return _guis.owns(gui); }

  private:
    GuiWorld _guis;
};

} // namespace

IGuiWorld *create_render_gui_world(const WorldServiceParams &params)
{
    if (!params.render_world || !params.render_link)
        return create_null_gui_world(params);
    ResourceLookup lookup = params.resource_manager ? resource_lookup(*params.resource_manager) : ResourceLookup{};
    return make_new<RenderGuiWorld>(params.allocator, params.allocator, *params.render_world, *params.render_link,
                                    lookup);
}

} // namespace tallow
