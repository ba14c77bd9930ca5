#pragma once
// Shared pieces of the shader tests: a resource lookup over a map, config trees from text
// and a library read from writer sources.

#include "foundation/config/config_text_parser.h"
#include "foundation/config/config_value.h"
#include "foundation/memory/memory_globals.h"
#include "render/config/global_resources.h"
#include "render/shaders/shader_library.h"
#include "tests/support/writers/shader_library_writer.h"

#include <cstring>
#include <map>
#include <memory>
#include <utility>

namespace tallow::test {

/// Loaded resources by (type, name), as the resource manager would hold them.
struct FakeResources {
    std::map<std::pair<u64, u64>, void *> loaded;

    void put(const char *type, const char *name, void *data) { loaded[{NameId64(type).value(), NameId64(name).value()}] = data; }
    void erase(const char *type, const char *name) { loaded.erase({NameId64(type).value(), NameId64(name).value()}); }
    ResourceLookup lookup()
    {
        return ResourceLookup{this, [](void *self, NameId64 type, NameId64 name) -> void * {
                                  auto &map = static_cast<FakeResources *>(self)->loaded;
                                  auto it = map.find({type.value(), name.value()});
                                  return it == map.end() ? nullptr : it->second;
                              }};
    }
};

/// A config tree parsed from text, freed with the object.
struct ConfigText {
    ConfigValue *root;
    explicit ConfigText(const char *text) : root(create_config_root(default_allocator()))
    {
        parse_config_text(text, text + strlen(text), *root);
    }
    ~ConfigText() { destroy_config_root(root); }
    ConfigText(const ConfigText &) = delete;
    ConfigText &operator=(const ConfigText &) = delete;
};

struct LibraryDeleter {
    void operator()(ShaderLibrary *library) const { destroy_shader_library(library); }
};
using LibraryPtr = std::unique_ptr<ShaderLibrary, LibraryDeleter>;

inline LibraryPtr read_library(const ShaderLibrarySource &source)
{
    const std::vector<u8> bytes = write_shader_library(source);
    return LibraryPtr(read_shader_library(bytes.data(), bytes.size(), default_allocator()));
}

inline u32 id32(const char *name) { return NameId32(name).value(); }

} // namespace tallow::test
