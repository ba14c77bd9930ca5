#include "foundation/threads/thread_registry.h"

#include "foundation/memory/allocator.h"
#include "foundation/assert.h"
#include "foundation/log.h"
#include "foundation/threads/thread_internal.h"

#include <cstring>
#include <pthread.h>

namespace tallow {

struct ThreadRegistry::ThreadRecord {
    ThreadRegistry *registry;
    u32 id;
    char name[64]; // the full name as given, cut to 63 bytes
    ThreadEntry entry;
    void *argument;
    u64 native; // pthread_t; 0 for the creating thread
};

static_assert(sizeof(pthread_t) <= sizeof(u64), "pthread_t must fit the handle word");

ThreadRegistry::ThreadRegistry(Allocator &allocator, const char *calling_thread_name)
    : _allocator(allocator), _records(allocator)
{
    ThreadRecord *record = new_record(calling_thread_name, nullptr, nullptr);
    if (record) {
        record->id = current_thread_id();
        _records.push_back(record);
    }
}

ThreadRegistry::~ThreadRegistry()
{
    ScopedLock guard(_lock);
    // Only the creating thread's record should be left: a thread still running here
    // would free its record into a registry that is gone.
    if (_records.size() > 1)
        log_message("thread", "thread registry destroyed with %u threads still running", _records.size() - 1);
    for (ThreadRecord *record : _records)
        delete_with_allocator(_allocator, record);
    _records.clear();
}

ThreadRegistry::ThreadRecord *ThreadRegistry::new_record(const char *name, ThreadEntry entry, void *argument)
{
    ThreadRecord *record = make_new<ThreadRecord>(_allocator);
    if (!record) {
        log_message("thread", "out of memory for the record of thread \"%s\"", name ? name : "");
        return nullptr;
    }
    record->registry = this;
    record->id = 0;
    size_t length = name ? strnlen(name, sizeof(record->name) - 1) : 0;
    if (length)
        memcpy(record->name, name, length);
    record->name[length] = 0;
    record->entry = entry;
    record->argument = argument;
    record->native = 0;
    return record;
}

void *ThreadRegistry::thread_trampoline(void *argument)
{
    ThreadRecord *record = static_cast<ThreadRecord *>(argument);
    adopt_thread_id(record->id);
    set_current_thread_name(record->name);
    ThreadEntry entry = record->entry;
    void *entry_argument = record->argument;
    ThreadRegistry *registry = record->registry;
    entry(entry_argument);
    registry->remove_thread(current_thread_id());
    return nullptr;
}

ThreadHandle ThreadRegistry::create_thread(const char *name, ThreadEntry entry, void *argument, i32 priority)
{
    (void)priority; // normal priority is the only level the engine asks for
    TALLOW_ASSERT(entry, "create_thread needs an entry function");
    if (!entry)
        return {};
    ThreadRecord *record = new_record(name, entry, argument);
    if (!record)
        return {};
    record->id = take_thread_id();

    // The record is in the array before the thread can run, so the thread's own removal
    // at exit always finds it, however short its life.
    {
        ScopedLock guard(_lock);
        if (!_records.push_back(record)) {
            delete_with_allocator(_allocator, record);
            log_message("thread", "out of memory recording thread \"%s\"", name ? name : "");
            return {};
        }
    }

    const u32 id = record->id;
    pthread_t native;
    int error = pthread_create(&native, nullptr, &ThreadRegistry::thread_trampoline, record);
    if (error != 0) {
        log_message("thread", "cannot start thread \"%s\": %s", record->name, strerror(error));
        remove_thread(id);
        return {};
    }
    ThreadHandle handle;
    handle.id = id;
    handle.native = u64(native);
    {
        // The thread may already have ended and freed its record: look it up again.
        ScopedLock guard(_lock);
        for (ThreadRecord *r : _records)
            if (r->id == id) {
                r->native = handle.native;
                break;
            }
    }
    return handle;
}

ThreadHandle ThreadRegistry::handle_of(u32 thread_id)
{
    ScopedLock guard(_lock);
    for (ThreadRecord *record : _records)
        if (record->id == thread_id && record->native != 0)
            return ThreadHandle{record->id, record->native};
    return {};
}

void ThreadRegistry::join(ThreadHandle &handle)
{
    TALLOW_ASSERT(handle.is_valid(), "join of an invalid thread handle");
    TALLOW_ASSERT(handle.id != current_thread_id(), "a thread cannot join itself");
    if (!handle.is_valid() || handle.id == current_thread_id())
        return;
    int error = pthread_join(pthread_t(handle.native), nullptr);
    if (error != 0)
        log_message("thread", "joining thread %u failed: %s", handle.id, strerror(error));
    handle = {};
}

void ThreadRegistry::remove_thread(u32 thread_id)
{
    ThreadRecord *found = nullptr;
    {
        ScopedLock guard(_lock);
        for (u32 i = 0; i < _records.size(); ++i) {
            if (_records[i]->id == thread_id) {
                found = _records[i];
                _records[i] = _records.back();
                _records.pop_back();
                break;
            }
        }
    }
    delete_with_allocator(_allocator, found);
}

u32 ThreadRegistry::thread_count()
{
    ScopedLock guard(_lock);
    return _records.size();
}

bool ThreadRegistry::is_running(u32 thread_id)
{
    ScopedLock guard(_lock);
    for (ThreadRecord *record : _records)
        if (record->id == thread_id)
            return true;
    return false;
}

bool ThreadRegistry::name_of(u32 thread_id, char *out_name, u32 capacity)
{
    ScopedLock guard(_lock);
    for (ThreadRecord *record : _records) {
        if (record->id != thread_id)
            continue;
        if (capacity > 0) {
            size_t length = strnlen(record->name, capacity - 1);
            memcpy(out_name, record->name, length);
            out_name[length] = 0;
        }
        return true;
    }
    return false;
}

} // namespace tallow
