#include "tables/retrieval.h"

#include <windows.h>

#include "core/handle.h"
#include "driver/archiver.h"
#include "tables/cache.h"

namespace {

// Proves that 8 bytes can be read where the archive begins.
ResultCode probe(const wchar16* archive, uint32_t offset, unsigned char (&head)[8]) {
    FileHandle f(CreateFileW(archive, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f.valid()) return kReadError;
    LONG distance = static_cast<LONG>(offset);
    // The offset is a signed 32-bit distance: from 2 GiB on it cannot be reached.
    if (distance < 0) return kReadError;
    if (SetFilePointer(f.get(), distance, nullptr, FILE_BEGIN) != offset) return kReadError;
    DWORD got = 0;
    if (!ReadFile(f.get(), head, sizeof head, &got, nullptr)) return kReadError;
    return got < sizeof head ? kUnknownFormat : kOk;
}

}  // namespace

ResultCode obtain_archive_table(const wchar16* archive, uint32_t offset, void** copy,
                                MemberRecord* request, NameForm form) {
    ArchiveTableCache& cache = table_cache();
    int rc = cache.lookup(archive, copy, request, form, kUnknownFormat);
    if (rc != kNotServed) return static_cast<ResultCode>(rc);

    unsigned char head[8];
    ResultCode probed = probe(archive, offset, head);
    if (probed != kOk) return probed;
    if (!test_archive(archive, head)) return kUnknownFormat;

    platform::OwnedBlock table;
    ResultCode listed = list_archive(archive, offset, table);
    if (listed != kOk) return listed;
    return static_cast<ResultCode>(cache.store(archive, std::move(table), copy, request, form, kNotServed));
}
