#pragma once
// A resource manager with its loader thread over a temporary data directory, for the
// resource tests. Everything is made from one TraceAllocator, which must be back at
// zero when the fixture is torn down.

#include "foundation/io/disk_file_system.h"
#include "foundation/io/input_archive.h"
#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/thread_registry.h"
#include "foundation/memory/trace_allocator.h"
#include "resource/exploded_database.h"
#include "resource/resource_loader.h"
#include "resource/resource_manager.h"
#include "resource/resource_package.h"
#include "resource/resource_types.h"
#include "tests/support/log_capture.h"
#include "tests/support/resource_test_data.h"
#include "tests/support/temp_directory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace tallow::test {

/// Collects every log line as "category: message" while alive.
using ResourceLogCapture = LogCapture;

/// The raw bytes of a "data" resource as loaded (raw types keep no size: tests know it).
inline std::string raw_bytes(const void *data, size_t size)
{
    return data ? std::string(static_cast<const char *>(data), size) : std::string("<null>");
}

class ResourceFixture : public ::testing::Test {
  protected:
    static constexpr NameId64 data_type{"data"};

    void TearDown() override
    {
        stop();
        EXPECT_EQ(allocator.allocation_count(), 0u) << "something made from the test allocator leaked";
    }

    /// Starts the loader (with the database when `with_database`) and the manager, and
    /// registers the resource module's types.
    void start(bool with_database)
    {
        if (with_database)
            database = make_new<ExplodedDatabase>(allocator, dir.path(), allocator);
        loader = make_new<ResourceLoader>(allocator, &registry, database, allocator);
        manager = make_new<ResourceManager>(allocator, *loader, allocator);
        register_resource_types(*manager, nullptr); // "data" is a raw type
        ASSERT_TRUE(manager->is_type_registered(data_type));
    }
    void stop()
    {
        for (ResourcePackage *p : packages)
            delete_with_allocator(allocator, p);
        packages.clear();
        if (manager) {
            EXPECT_EQ(manager->loaded_count(), 0u) << "resources still loaded";
        }
        delete_with_allocator(allocator, manager);
        delete_with_allocator(allocator, loader);
        delete_with_allocator(allocator, database);
        manager = nullptr;
        loader = nullptr;
        database = nullptr;
    }
    ResourcePackage *new_package()
    {
        packages.push_back(make_new<ResourcePackage>(allocator, allocator, *manager));
        return packages.back();
    }
    /// The package of `name` from bundles in the data directory, with the property
    /// preference order `order`.
    ResourcePackage *bundle_package(const char *name, std::vector<u64> order = {})
    {
        ResourcePackage *p =
            create_resource_package(allocator, *manager, &files, NameId64(name), order.data(), u32(order.size()));
        EXPECT_NE(p, nullptr);
        packages.push_back(p);
        return p;
    }
    /// The package of `name` from its "package" resource in the database.
    ResourcePackage *database_package(const char *name)
    {
        ResourcePackage *p = create_resource_package(allocator, *manager, nullptr, NameId64(name), nullptr, 0);
        EXPECT_NE(p, nullptr);
        packages.push_back(p);
        return p;
    }
    u64 loader_allocator_count() { return loader->allocator().allocation_count(); }
    std::string data(const char *name, size_t size) { return raw_bytes(manager->get(data_type, NameId64(name)), size); }

    TraceAllocator allocator{"resource_test", default_allocator()};
    TempDirectory dir;
    DiskFileSystem files{dir.path(), default_allocator()};
    ThreadRegistry registry{default_allocator(), "main"};
    ExplodedDatabase *database = nullptr;
    ResourceLoader *loader = nullptr;
    ResourceManager *manager = nullptr;
    std::vector<ResourcePackage *> packages;
};

} // namespace tallow::test
