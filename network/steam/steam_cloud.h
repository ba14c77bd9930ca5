#pragma once
// Cloud files: one value saved under a file name in the platform's remote storage and
// loaded back without blocking the frame. Reads and writes run on the "steam_cloud"
// command thread; scripts poll a token. Exists only when the platform enables remote
// storage for the application.
//
//   u32 t = cloud.save("progress", bytes, size);   // the bytes are copied
//   ... each frame: cloud.update();                // finishes what the thread completed
//   const CloudRecord *r = cloud.record(t);        // r->status == cloud_done when finished
//   cloud.close(t);
//
// Any number of requests may be made in one frame: the command thread's queue never
// blocks the frame for good (it drains its done queue while it waits). A load that reads
// fewer bytes than the file holds (or cannot get memory for them) ends with
// cloud_error_read_failed, never with half-read bytes. Main thread only, except the jobs'
// file calls, which touch only their own job and the platform's remote storage.

#include "foundation/types.h"

#include <map>
#include <memory>
#include <vector>

namespace tallow {
class CommandThread;
class ThreadRegistry;
} // namespace tallow

namespace tallow::network::steam {

constexpr u32 cloud_load_kind = 300, cloud_save_kind = 301;
constexpr u32 cloud_pending = 1, cloud_done = 2;
constexpr u32 cloud_error_none = 0, cloud_error_save_failed = 1, cloud_error_missing = 2, cloud_error_read_failed = 3;

struct CloudRecord {
    u32 kind;
    u32 status = cloud_pending;
    u32 error = cloud_error_none;
    std::vector<u8> bytes; // loaded bytes (loads only)
};

class SteamCloud {
  public:
    /// Null when the platform's remote storage is unavailable or not enabled for the app.
    static SteamCloud *create(ThreadRegistry &threads);
    explicit SteamCloud(ThreadRegistry &threads);
    /// Drops every record, lets the thread finish what it was given, then stops it.
    ~SteamCloud();
    SteamCloud(const SteamCloud &) = delete;
    SteamCloud &operator=(const SteamCloud &) = delete;

    u32 load(const char *name);
    u32 save(const char *name, const void *data, u32 size);
    /// Null for an unknown or closed token (and for 0).
    const CloudRecord *record(u32 token) const;
    void close(u32 token);
    void update();
    u32 record_count() const { return u32(_records.size()); }

    // For the jobs (main thread, from update).
    CloudRecord *find_record(u32 token);

  private:
    std::map<u32, std::unique_ptr<CloudRecord>> _records;
    u32 _next_token = 1;
    CommandThread *_thread = nullptr;
};

} // namespace tallow::network::steam
