#include "save/save_system.h"

#include "foundation/io/input_archive.h"
#include "foundation/io/output_archive.h"
#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/dynamic_string.h"
#include "save/save_file.h"

#include <atomic>
#include <cstring>

namespace tallow::save {

const char *const error_invalid_filename = "TORVALEN_SAVEDATA_INVALID_FILENAME";
const char *const error_missing = "TORVALEN_SAVEDATA_ERROR_MISSING";
const char *const error_broken = "TORVALEN_SAVEDATA_BROKEN";
const char *const error_io = "TORVALEN_SAVEDATA_IO_ERROR";

namespace {

constexpr const char *log_category = "SaveSystem";
constexpr u32 queue_size = 32;

SaveSystem *g_save_system = nullptr;

// Largest file a load reads: the header and a stream whose length fits its u32 field.
constexpr u64 max_save_file_bytes = save_file_header_bytes + u64(0xFFFFFFFFu);

void file_name(const DynamicString &name, const char *extension, DynamicString &out)
{
    out = name;
    out.append(extension);
}

// Reads a whole file into `out`; false when it cannot be opened or read, or is larger
// than any save file can be (nothing that large is allocated).
bool read_whole_file(const DiskFileSystem &files, const char *name, Allocator &allocator, Array<u8> &out)
{
    InputArchive archive(files.open_input(name, allocator, false));
    if (archive.has_failed() || archive.size() > max_save_file_bytes)
        return false;
    return archive.read_whole_bytes(out);
}

// Writes `bytes` as the whole file `name`; false when anything failed (the file may then
// hold part of them).
bool write_whole_file(const DiskFileSystem &files, const char *name, Allocator &allocator, const u8 *bytes, u64 size)
{
    OutputArchive archive(files.open_output(name, allocator, false));
    if (archive.has_failed())
        return false;
    archive.write(bytes, size);
    return archive.flush();
}

// Frees a progress record and the loaded bytes it owns.
void delete_record(Allocator &allocator, ProgressInformation *record)
{
    if (record->kind == ProgressKind::Load) {
        auto *load = static_cast<LoadProgressInformation *>(record);
        allocator.deallocate(load->data);
        delete_with_allocator(allocator, load);
    } else {
        delete_with_allocator(allocator, static_cast<SaveProgressInformation *>(record));
    }
}

} // namespace

bool is_valid_save_name(const char *name)
{
    if (!*name)
        return false; // the files would be the hidden ".sav" and ".old"
    for (const char *c = name; *c; ++c) {
        bool ok = (*c >= 'a' && *c <= 'z') || (*c >= '0' && *c <= '9') || *c == '_' || *c == '-';
        if (!ok)
            return false;
    }
    return true;
}

SaveSystem *save_system() { return g_save_system; }

// ---- commands ----

// A command runs on "save_system"; its progress is published through an atomic that the
// main thread copies into the token's record in update, and its result is stored by finish.
class SaveSystem::Command : public CommandThreadJob {
  public:
    Command(SaveSystem &system, u32 token, const char *name)
        : _system(system), _token(token), _name(name, system._allocator)
    {
    }
    u32 token() const { return _token; }
    f32 progress() const { return _progress.load(std::memory_order_acquire); }

    bool finish() override
    {
        _system.forget_command(this);
        // The script may have closed the token while the command ran.
        ProgressInformation *record = _system.translate(_token);
        if (record) {
            record->done = true;
            record->progress = 1.0f;
            record->error = _error;
            store_result(*record);
        }
        return true;
    }

  protected:
    virtual void store_result(ProgressInformation &) {}
    /// Logs what starts ("Saving", "Loading") and refuses a name that is not a plain file name.
    bool start(const char *what)
    {
        log_message(log_category, "%s %s", what, _name.c_str());
        if (!is_valid_save_name(_name.c_str())) {
            log_message(log_category, "Invalid filename %s", _name.c_str());
            _error = error_invalid_filename;
            return false;
        }
        return true;
    }
    void set_progress(f32 p) { _progress.store(p, std::memory_order_release); }

    SaveSystem &_system;
    u32 _token;
    DynamicString _name;
    const char *_error = nullptr;

  private:
    std::atomic<f32> _progress{0.0f};
};

class SaveSystem::AutoSaveCmd final : public Command {
  public:
    AutoSaveCmd(SaveSystem &system, u32 token, const char *name, u8 *payload, u64 size)
        : Command(system, token, name), _payload(payload), _size(size)
    {
    }
    ~AutoSaveCmd() override { _system._allocator.deallocate(_payload); }

    void execute() override
    {
        const char *name = _name.c_str();
        if (!start("Saving"))
            return;
        Allocator &allocator = _system._allocator;
        const DiskFileSystem &files = _system._files;
        Array<u8> file(allocator);
        if (!write_save_file(_payload, _size, allocator, file)) {
            log_message(log_category, "Cannot build the save file %s", name);
            _error = error_io;
            return;
        }
        set_progress(0.5f);

        DynamicString new_name(allocator), save_name(allocator), old_name(allocator);
        file_name(_name, ".new", new_name);
        file_name(_name, ".sav", save_name);
        file_name(_name, ".old", old_name);

        // The new file must be whole and readable before the old one is touched.
        if (!write_whole_file(files, new_name.c_str(), allocator, file.data(), file.size()) || !verify(new_name)) {
            log_message(log_category, "Failed to write new save file %s", new_name.c_str());
            files.delete_file(new_name.c_str());
            _error = error_io;
            return;
        }
        if (files.exists(save_name.c_str()) && !keep_previous(save_name, old_name)) {
            // NAME.sav is still the previous save; the new data stays in NAME.new, the
            // only copy of it on disk.
            log_message(log_category, "Failed to rename old save file");
            _error = error_io;
            return;
        }
        if (!files.replace(new_name.c_str(), save_name.c_str())) {
            log_message(log_category, "Failed to rename new save file");
            _error = error_io;
            return;
        }
        log_message(log_category, "Save done");
    }

  private:
    bool verify(const DynamicString &new_name)
    {
        Allocator &allocator = _system._allocator;
        Array<u8> written(allocator), payload(allocator);
        return read_whole_file(_system._files, new_name.c_str(), allocator, written) &&
               read_save_file(written.data(), written.size(), allocator, payload) && payload.size() == _size &&
               (_size == 0 || std::memcmp(payload.data(), _payload, _size) == 0);
    }

    // Makes NAME.old the current save without ever removing NAME.sav: a second name for the
    // same file where the file system allows it, a flushed copy otherwise.
    bool keep_previous(const DynamicString &save_name, const DynamicString &old_name)
    {
        const DiskFileSystem &files = _system._files;
        if (files.exists(old_name.c_str()) && !files.delete_file(old_name.c_str()))
            return false;
        if (files.link(save_name.c_str(), old_name.c_str()))
            return true;
        Allocator &allocator = _system._allocator;
        Array<u8> previous(allocator);
        DynamicString copy_name(allocator);
        file_name(_name, ".old.new", copy_name);
        bool copied = read_whole_file(files, save_name.c_str(), allocator, previous) &&
                      write_whole_file(files, copy_name.c_str(), allocator, previous.data(), previous.size()) &&
                      files.replace(copy_name.c_str(), old_name.c_str());
        if (!copied)
            files.delete_file(copy_name.c_str());
        return copied;
    }

    u8 *_payload;
    u64 _size;
};

class SaveSystem::AutoLoadCmd final : public Command {
  public:
    AutoLoadCmd(SaveSystem &system, u32 token, const char *name) : Command(system, token, name), _payload(system._allocator)
    {
    }

    void execute() override
    {
        const char *name = _name.c_str();
        if (!start("Loading"))
            return;
        Allocator &allocator = _system._allocator;
        DynamicString save_name(allocator);
        file_name(_name, ".sav", save_name);
        if (!_system._files.exists(save_name.c_str())) {
            log_message(log_category, "Missing filename %s", name);
            _error = error_missing;
            return;
        }
        Array<u8> file(allocator);
        if (!read_whole_file(_system._files, save_name.c_str(), allocator, file) || file.size() < save_file_header_bytes) {
            log_message(log_category, "Broken savedata %s", name);
            _error = error_broken;
            return;
        }
        set_progress(0.5f);
        if (!read_save_file(file.data(), file.size(), allocator, _payload)) {
            log_message(log_category, "Broken savedata %s", name);
            _error = error_broken;
            return;
        }
        log_message(log_category, "Load done");
    }

  private:
    void store_result(ProgressInformation &record) override
    {
        if (_error || record.kind != ProgressKind::Load)
            return;
        auto &load = static_cast<LoadProgressInformation &>(record);
        u32 size = _payload.size();
        u8 *data = size > 0 ? static_cast<u8 *>(_system._allocator.allocate(size, 16)) : nullptr;
        if (size > 0 && !data) {
            log_message(log_category, "no memory for the loaded save %s", _name.c_str());
            load.error = error_broken;
            return;
        }
        if (size > 0)
            std::memcpy(data, _payload.data(), size);
        load.data = data;
        load.size = size;
    }

    Array<u8> _payload;
};

// ---- the system ----

SaveSystem::SaveSystem(ThreadRegistry &registry, const char *save_directory)
    : _allocator("save", default_allocator()), _thread(_allocator, registry, queue_size, "save_system"),
      _tokens(_allocator), _running(_allocator), _files(save_directory, _allocator)
{
    g_save_system = this;
}

SaveSystem::~SaveSystem()
{
    _thread.stop();
    _thread.update(); // finishes what ran, so every command is freed through its finish
    while (_tokens.size() > 0)
        close(_tokens.key(_tokens.size() - 1));
    if (g_save_system == this)
        g_save_system = nullptr;
}

u32 SaveSystem::add_token(ProgressInformation *record)
{
    u32 token = _next_token;
    if (!_tokens.insert(token, record)) // tokens only grow: each goes at the end
        return 0;
    ++_next_token;
    return token;
}

u32 SaveSystem::auto_save(const char *name, const void *payload, u64 size)
{
    u8 *copy = size > 0 ? static_cast<u8 *>(_allocator.allocate(size, 16)) : nullptr;
    auto *record = make_new<SaveProgressInformation>(_allocator);
    if ((size > 0 && !copy) || !record) {
        log_message(log_category, "no memory to save %s", name);
        _allocator.deallocate(copy);
        delete_with_allocator(_allocator, record);
        return 0;
    }
    if (size > 0)
        std::memcpy(copy, payload, size);
    record->kind = ProgressKind::Save;
    u32 token = add_token(record);
    AutoSaveCmd *command = token ? make_new<AutoSaveCmd>(_allocator, *this, token, name, copy, size) : nullptr;
    if (!command) {
        log_message(log_category, "no memory to save %s", name);
        _allocator.deallocate(copy);
    }
    return start_command(token, record, command);
}

u32 SaveSystem::auto_load(const char *name)
{
    auto *record = make_new<LoadProgressInformation>(_allocator);
    if (!record) {
        log_message(log_category, "no memory to load %s", name);
        return 0;
    }
    record->kind = ProgressKind::Load;
    u32 token = add_token(record);
    AutoLoadCmd *command = token ? make_new<AutoLoadCmd>(_allocator, *this, token, name) : nullptr;
    if (!command)
        log_message(log_category, "no memory to load %s", name);
    return start_command(token, record, command);
}

u32 SaveSystem::start_command(u32 token, ProgressInformation *record, Command *command)
{
    if (!command) {
        if (token)
            close(token);
        else
            delete_record(_allocator, record);
        return 0;
    }
    _running.push_back(command);
    _thread.push(command);
    return token;
}

ProgressInformation *SaveSystem::translate(u32 token)
{
    u32 i = _tokens.find_index(token);
    return i < _tokens.size() ? _tokens.value(i) : nullptr;
}

void SaveSystem::close(u32 token)
{
    u32 i = _tokens.find_index(token);
    if (i == _tokens.size())
        return;
    delete_record(_allocator, _tokens.value(i));
    _tokens.erase_at(i);
}

void SaveSystem::update()
{
    for (Command *command : _running) {
        ProgressInformation *record = translate(command->token());
        if (record && !record->done)
            record->progress = command->progress();
    }
    _thread.update();
}

void SaveSystem::forget_command(Command *command)
{
    for (u32 i = 0; i < _running.size(); ++i) {
        if (_running[i] == command) {
            for (u32 j = i + 1; j < _running.size(); ++j)
                _running[j - 1] = _running[j];
            _running.resize(_running.size() - 1);
            return;
        }
    }
}

ISaveService *create_save_service(Allocator &allocator, ThreadRegistry &registry, const char *save_directory)
{
    return make_new<SaveSystem>(allocator, registry, save_directory);
}

} // namespace tallow::save
