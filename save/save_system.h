#pragma once
// Save files written and read on the "save_system" command thread, so scripts never wait
// for the disk. A script starts an operation, gets a token, polls the token's progress
// record once per frame and closes the token when it is done.
//
//   save::SaveSystem saves(registry, "/home/me/.local/share/game/saves");
//   u32 token = saves.auto_save("slot_1", encoded, encoded_size);   // main thread
//   ... each frame: saves.update();
//   const save::ProgressInformation *p = saves.progress(token);
//   if (p && p->done) { if (p->error) show(p->error); saves.close(token); }
//
// Files live in the save directory as NAME.sav (see save/save_file.h); a name may use only
// "abcdefghijklmnopqrstuvwxyz0123456789_-". A save never loses the last good save, even if
// the process is killed at any moment:
//   1. the new file is written as NAME.new, flushed, read back and checked;
//   2. the current NAME.sav (if any) gets a second name NAME.old (a hard link, or a copy);
//   3. NAME.new is renamed over NAME.sav in one atomic step, and the folder is flushed.
// NAME.sav is therefore always either the previous save or the whole new one, and after a
// successful save NAME.old is the previous one. A failure leaves NAME.sav untouched; when
// only the previous save could not be kept as NAME.old, the new data stays in NAME.new.
//
// Tokens count up from 1 and are never reused. A record lives until `close` or the save
// system's destruction; closing a token whose command is still running is safe (its result
// is dropped). All member functions are for the main thread; records change only in
// `update`, so scripts read them without locks.
#include "save/save_service.h"
#include "foundation/containers/array.h"
#include "foundation/containers/sort_map.h"
#include "foundation/io/disk_file_system.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/threads/command_thread.h"
#include "foundation/types.h"

namespace tallow {
class ThreadRegistry;
}

namespace tallow::save {

/// Error codes handed to scripts as they stand (null = no error).
extern const char *const error_invalid_filename; // "TORVALEN_SAVEDATA_INVALID_FILENAME"
extern const char *const error_missing;          // "TORVALEN_SAVEDATA_ERROR_MISSING"
extern const char *const error_broken;           // "TORVALEN_SAVEDATA_BROKEN"
extern const char *const error_io;               // "TORVALEN_SAVEDATA_IO_ERROR"

/// True when every character of `name` is one of "abcdefghijklmnopqrstuvwxyz0123456789_-"
/// and there is at least one (an empty name would make the hidden files ".sav" and ".old").
bool is_valid_save_name(const char *name);

enum class ProgressKind : u32 { Save = 0, Load = 1 };

/// The progress of one operation: created with progress 0.0, 0.5 once the file block is
/// built or read, then done with progress 1.0 and an error or (loads) the data.
struct ProgressInformation {
    ProgressKind kind = ProgressKind::Save;
    bool done = false;
    const char *error = nullptr; // one of the error codes; null = none
    f32 progress = 0.0f;         // 0.0 to 1.0
};

struct SaveProgressInformation : ProgressInformation {};

/// A load's record; after success `data` holds `size` payload bytes (the encoded script
/// value), owned by the record and freed when the token is closed.
struct LoadProgressInformation : ProgressInformation {
    u8 *data = nullptr;
    u32 size = 0;
};

/// Finds the progress record a token stands for.
class TokenTranslator {
  public:
    virtual ~TokenTranslator() = default;
    /// The record of `token`, or null when no record has it.
    virtual ProgressInformation *translate(u32 token) = 0;
};

class SaveSystem final : public TokenTranslator, public ISaveService {
  public:
    /// Starts "save_system" and roots its files at `save_directory` (which exists). Sets
    /// the process-wide save system.
    SaveSystem(ThreadRegistry &registry, const char *save_directory);
    /// Stops the thread (pending commands still run), closes every token and clears the
    /// process-wide pointer.
    ~SaveSystem() override;
    SaveSystem(const SaveSystem &) = delete;
    SaveSystem &operator=(const SaveSystem &) = delete;

    /// Saves `size` payload bytes (copied) under `name`; returns the token, or 0 (logged)
    /// when memory ran out.
    u32 auto_save(const char *name, const void *payload, u64 size);
    /// Loads the save `name`; returns the token, or 0 (logged) when memory ran out.
    u32 auto_load(const char *name);
    /// The record of `token`, null when no record has it.
    const ProgressInformation *progress(u32 token) { return translate(token); }
    /// Frees the record of `token` and forgets the token; unknown tokens are ignored.
    void close(u32 token);
    /// Copies the progress of running commands into their records and finishes completed
    /// ones. Once per frame, before input and the game update.
    void update() override;

    // See TokenTranslator.
    ProgressInformation *translate(u32 token) override;

    const char *save_directory() const { return _files.root(); }
    /// Number of open tokens.
    u32 token_count() const { return _tokens.size(); }

  private:
    class Command;
    class AutoSaveCmd;
    class AutoLoadCmd;

    u32 add_token(ProgressInformation *record);
    /// Runs `command` under `token`; without a command, gives back the token (or the record
    /// when there is no token) and returns 0.
    u32 start_command(u32 token, ProgressInformation *record, Command *command);
    void forget_command(Command *command);

    TraceAllocator _allocator; // "save": commands, names, payloads and records
    CommandThread _thread;
    SortMap<u32, ProgressInformation *> _tokens; // token -> record
    Array<Command *> _running;   // pushed and not yet finished, in push order
    u32 _next_token = 1;
    DiskFileSystem _files;
};

/// The process-wide save system, or null when none exists.
SaveSystem *save_system();

/// The factory the Application uses for its "save_dir" step.
ISaveService *create_save_service(Allocator &allocator, ThreadRegistry &registry, const char *save_directory);

} // namespace tallow::save
