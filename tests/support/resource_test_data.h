#pragma once
// Compiled resource inputs for tests, built with the engine's own writers
// (resource/resource_writer.h) from readable values.
//
//   test::TempDirectory dir;
//   DiskFileSystem files(dir.path(), allocator);
//   test::write_bundle(files, test::bundle_file_name("boot"),
//                      {{"data", "a", "alpha"}, {"data", "b", "beta"}});
//   test::write_database(files, {{"data", "a", "alpha"}});

#include "resource/resource_id.h"
#include "resource/resource_writer.h"

#include <initializer_list>
#include <string>
#include <vector>

namespace tallow {
class DiskFileSystem;
}

namespace tallow::test {

/// One variant of one resource: names are hashed, `bytes` stored as they are.
struct TestResource {
    std::string type;
    std::string name;
    std::string bytes;
    u32 mask = 0;
};

inline ResourceId resource_id(const char *type, const char *name) { return {NameId64(type), NameId64(name)}; }

/// The bundle file name of package `package` (16 hex digits of its name id).
std::string bundle_file_name(const char *package);

/// Writes a bundle (or a patch: same format) holding `resources` in that order, with
/// `properties` (hashed) in slots 0, 1, ...
bool write_bundle(const DiskFileSystem &files, const std::string &file_name, const std::vector<TestResource> &resources,
                  const std::vector<std::string> &properties = {});
/// The uncompressed stream of such a bundle, for tests that damage it before compressing.
std::vector<u8> bundle_payload(const std::vector<TestResource> &resources,
                               const std::vector<std::string> &properties = {});
/// A bundle file's bytes from a (possibly damaged) payload.
std::vector<u8> bundle_file_from_payload(const std::vector<u8> &payload);

/// Writes "exploded_database.db" and the loose files of `resources`.
bool write_database(const DiskFileSystem &files, const std::vector<TestResource> &resources,
                    const std::vector<std::string> &properties = {});
/// The index bytes such a database would have.
std::vector<u8> database_index(const std::vector<TestResource> &resources,
                               const std::vector<std::string> &properties = {});

/// The bytes of a "package" resource listing (type, name) pairs.
std::string package_resource(const std::vector<std::pair<std::string, std::string>> &resources);

/// The bytes of a "mouse_cursor" resource: the header words, then width x height pixels
/// whose bytes count up from 0 (so rows can be told apart).
std::string mouse_cursor_resource(u32 width, u32 height, u32 hot_spot_x, u32 hot_spot_y);

/// Writes raw bytes to a file.
bool write_bytes(const DiskFileSystem &files, const std::string &name, const std::vector<u8> &bytes);

} // namespace tallow::test
