#include "resource/strings_writer.h"

#include "foundation/log.h"
#include "foundation/strings/name_id.h"
#include "resource/resource_writer.h"

#include <algorithm>
#include <cstring>

namespace tallow {

bool build_strings_resource(const StringsEntry *entries, u32 count, Array<u8> &out)
{
    struct Record {
        u32 key;
        u32 entry;
    };
    Array<Record> records(out.allocator());
    for (u32 i = 0; i < count; ++i)
        records.push_back({NameId32(entries[i].id).value(), i});
    std::sort(records.begin(), records.end(), [](const Record &a, const Record &b) { return a.key < b.key; });
    for (u32 i = 1; i < records.size(); ++i) {
        if (records[i].key == records[i - 1].key) {
            log_message("resource", "strings: the ids \"%s\" and \"%s\" share the key %08x",
                        entries[records[i - 1].entry].id, entries[records[i].entry].id, records[i].key);
            return false;
        }
    }
    u32 offset = 4 + count * 8;
    append_u32(out, count);
    for (const Record &r : records) {
        append_u32(out, r.key);
        append_u32(out, offset);
        offset += u32(std::strlen(entries[r.entry].text)) + 1;
    }
    for (const Record &r : records)
        append_bytes(out, entries[r.entry].text, std::strlen(entries[r.entry].text) + 1);
    return true;
}

} // namespace tallow
