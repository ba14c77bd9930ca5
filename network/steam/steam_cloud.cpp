// Cloud files (see steam_cloud.h).
#include "network/steam/steam_cloud.h"

#include "foundation/memory/allocator.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/command_thread.h"
#include "platform/steam/steam_platform.h"

#include <string>

namespace tallow::network::steam {

namespace platform = tallow::steam;

namespace {

class LoadCommand final : public CommandThreadJob {
  public:
    LoadCommand(SteamCloud &cloud, u32 token, const char *name, platform::RemoteStorage *storage)
        : _cloud(cloud), _token(token), _name(name), _storage(storage)
    {
    }
    void execute() override
    {
        if (!_storage || !_storage->file_exists(_name.c_str())) {
            _error = cloud_error_missing;
            return;
        }
        const i32 size = _storage->get_file_size(_name.c_str());
        if (size <= 0) {
            _error = size == 0 ? cloud_error_none : cloud_error_read_failed;
            return;
        }
        _bytes.resize(size_t(size));
        const i32 read = _storage->file_read(_name.c_str(), _bytes.data(), size);
        if (read != size) {
            _bytes.clear(); // never hand half-read bytes on as data
            _error = cloud_error_read_failed;
        }
    }
    bool finish() override
    {
        if (CloudRecord *r = _cloud.find_record(_token)) {
            r->status = cloud_done;
            r->error = _error;
            r->bytes = std::move(_bytes);
        }
        return true;
    }

  private:
    SteamCloud &_cloud;
    u32 _token;
    std::string _name;
    platform::RemoteStorage *_storage;
    u32 _error = cloud_error_none;
    std::vector<u8> _bytes;
};

class SaveCommand final : public CommandThreadJob {
  public:
    SaveCommand(SteamCloud &cloud, u32 token, const char *name, const void *data, u32 size,
                platform::RemoteStorage *storage)
        : _cloud(cloud), _token(token), _name(name), _data(static_cast<const u8 *>(data), static_cast<const u8 *>(data) + size),
          _storage(storage)
    {
    }
    void execute() override
    {
        _written = _storage && _storage->file_write(_name.c_str(), _data.data(), i32(_data.size()));
    }
    bool finish() override
    {
        if (CloudRecord *r = _cloud.find_record(_token)) {
            r->status = cloud_done;
            r->error = _written ? cloud_error_none : cloud_error_save_failed;
        }
        return true;
    }

  private:
    SteamCloud &_cloud;
    u32 _token;
    std::string _name;
    std::vector<u8> _data;
    platform::RemoteStorage *_storage;
    bool _written = false;
};

} // namespace

SteamCloud *SteamCloud::create(ThreadRegistry &threads)
{
    platform::RemoteStorage *storage = platform::remote_storage();
    if (!storage || !storage->is_cloud_enabled_for_app())
        return nullptr;
    return make_new<SteamCloud>(application_static_allocator(), threads);
}

SteamCloud::SteamCloud(ThreadRegistry &threads)
{
    _thread = make_new<CommandThread>(default_allocator(), default_allocator(), threads, 16, "steam_cloud");
}

SteamCloud::~SteamCloud()
{
    _records.clear();
    _thread->stop();
    _thread->update(); // finish() finds no record and frees what was loaded
    delete_with_allocator(default_allocator(), _thread);
}

u32 SteamCloud::load(const char *name)
{
    const u32 token = _next_token++;
    auto r = std::make_unique<CloudRecord>();
    r->kind = cloud_load_kind;
    _records[token] = std::move(r);
    _thread->push(make_new<LoadCommand>(default_allocator(), *this, token, name ? name : "", platform::remote_storage()));
    return token;
}

u32 SteamCloud::save(const char *name, const void *data, u32 size)
{
    const u32 token = _next_token++;
    auto r = std::make_unique<CloudRecord>();
    r->kind = cloud_save_kind;
    _records[token] = std::move(r);
    _thread->push(make_new<SaveCommand>(default_allocator(), *this, token, name ? name : "", data, size,
                                        platform::remote_storage()));
    return token;
}

const CloudRecord *SteamCloud::record(u32 token) const
{
    auto it = _records.find(token);
    return it == _records.end() ? nullptr : it->second.get();
}

CloudRecord *SteamCloud::find_record(u32 token)
{
    auto it = _records.find(token);
    return it == _records.end() ? nullptr : it->second.get();
}

void SteamCloud::close(u32 token) { _records.erase(token); }

void SteamCloud::update() { _thread->update(); }

} // namespace tallow::network::steam
