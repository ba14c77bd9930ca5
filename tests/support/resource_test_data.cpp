#include "tests/support/resource_test_data.h"

#include "foundation/io/disk_file_system.h"
#include "foundation/memory/memory_globals.h"
#include "resource/resource_properties.h"

namespace tallow::test {

namespace {

ResourceId id_of(const TestResource &r) { return {NameId64(r.type.c_str()), NameId64(r.name.c_str())}; }

std::vector<u8> to_vector(const Array<u8> &bytes) { return std::vector<u8>(bytes.begin(), bytes.end()); }

void fill(BundleWriter &writer, const std::vector<TestResource> &resources, const std::vector<std::string> &properties)
{
    for (const std::string &p : properties)
        writer.add_property(NameId64(p.c_str()));
    for (const TestResource &r : resources)
        writer.add_variant(id_of(r), r.mask, r.bytes.data(), r.bytes.size());
}

void fill(DatabaseWriter &writer, const std::vector<TestResource> &resources,
          const std::vector<std::string> &properties)
{
    for (const std::string &p : properties)
        writer.add_property(NameId64(p.c_str()));
    for (const TestResource &r : resources)
        writer.add_variant(id_of(r), r.mask, r.bytes.data(), r.bytes.size());
}

} // namespace

std::string bundle_file_name(const char *package)
{
    char name[17];
    hex64(NameId64(package).value(), name);
    return name;
}

bool write_bundle(const DiskFileSystem &files, const std::string &file_name, const std::vector<TestResource> &resources,
                  const std::vector<std::string> &properties)
{
    BundleWriter writer(default_allocator());
    fill(writer, resources, properties);
    return writer.write_file(files, file_name.c_str());
}

std::vector<u8> bundle_payload(const std::vector<TestResource> &resources, const std::vector<std::string> &properties)
{
    BundleWriter writer(default_allocator());
    fill(writer, resources, properties);
    Array<u8> payload(default_allocator());
    writer.build_payload(payload);
    return to_vector(payload);
}

std::vector<u8> bundle_file_from_payload(const std::vector<u8> &payload)
{
    Array<u8> in(default_allocator()), out(default_allocator());
    append_bytes(in, payload.data(), payload.size());
    compress_bundle_payload(in, resource_format_word, out);
    return to_vector(out);
}

bool write_database(const DiskFileSystem &files, const std::vector<TestResource> &resources,
                    const std::vector<std::string> &properties)
{
    DatabaseWriter writer(default_allocator());
    fill(writer, resources, properties);
    return writer.write(files);
}

std::vector<u8> database_index(const std::vector<TestResource> &resources, const std::vector<std::string> &properties)
{
    DatabaseWriter writer(default_allocator());
    fill(writer, resources, properties);
    Array<u8> index(default_allocator());
    writer.build_index(index);
    return to_vector(index);
}

std::string package_resource(const std::vector<std::pair<std::string, std::string>> &resources)
{
    std::vector<ResourceId> ids;
    for (const auto &r : resources)
        ids.push_back({NameId64(r.first.c_str()), NameId64(r.second.c_str())});
    Array<u8> bytes(default_allocator());
    build_package_resource(ids.data(), u32(ids.size()), bytes);
    return std::string(bytes.begin(), bytes.end());
}

std::string mouse_cursor_resource(u32 width, u32 height, u32 hot_spot_x, u32 hot_spot_y)
{
    std::string out;
    u32 pixel_bytes = width * height * 4;
    for (u32 word : {width, height, hot_spot_x, hot_spot_y, pixel_bytes})
        for (u32 i = 0; i < 4; ++i)
            out.push_back(char((word >> (8 * i)) & 0xFF));
    for (u32 i = 0; i < pixel_bytes; ++i)
        out.push_back(char(i & 0xFF));
    return out;
}

bool write_bytes(const DiskFileSystem &files, const std::string &name, const std::vector<u8> &bytes)
{
    return write_file_bytes(files, name.c_str(), bytes.data(), bytes.size());
}

} // namespace tallow::test
