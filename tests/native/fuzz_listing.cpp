// Arbitrary bytes as captured archiver output, through the reader, the scan
// and the two passes that build a member table, checked against what the
// host may rely on. The first byte picks the size threshold; the rest is the
// listing. The text is also read in small uneven pieces, as from a pipe, and
// must come out the same.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "core/platform.h"
#include "core/text.h"
#include "driver/member_paths.h"
#include "driver/paths.h"
#include "driver/scanner.h"
#include "sources.h"

namespace {

void check(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "fuzz_listing: %s\n", what);
    abort();
}

// Small, KiB, MiB and near-the-top thresholds, so members land on both sides.
int32_t threshold_from(uint8_t b) {
    int32_t low = b & 63;
    switch (b >> 6) {
        case 0: return low;
        case 1: return low << 10;
        case 2: return low << 20;
        default: return INT32_MAX - low;
    }
}

// Reads of 1 to 8 bytes, in a pattern taken from the input's length.
struct UnevenSource {
    ChunkSource inner;
    uint32_t state;
    UnevenSource(const char* text, size_t len) : inner{text, len, 1}, state(static_cast<uint32_t>(len)) {}
    static size_t read(void* context, char* buffer, size_t capacity) {
        auto* src = static_cast<UnevenSource*>(context);
        src->state = src->state * 1103515245u + 12345u;
        src->inner.chunk = 1 + (src->state >> 16) % 8;
        return ChunkSource::read(&src->inner, buffer, capacity);
    }
};

bool is_high_surrogate(wchar16 c) { return c >= 0xD800 && c <= 0xDBFF; }

void check_read_sizes_do_not_matter(const char* text, size_t len) {
    MemorySource whole{text, len};
    PieceReader a(MemorySource::read, &whole);
    UnevenSource uneven(text, len);
    PieceReader b(UnevenSource::read, &uneven);
    wchar16 pa[kPathChars], pb[kPathChars];
    size_t la, lb;
    for (;;) {
        bool more = a.next(pa, la);
        check(more == b.next(pb, lb) && la == lb && memcmp(pa, pb, (la + 1) * sizeof *pa) == 0,
              "the read sizes change the pieces");
        if (!more) return;
    }
}

// What a record's field holds of a name or folder: all of it when it fits,
// else cut whole-character (a lone surrogate is a name's own), a folder
// never ending in a separator.
std::u16string in_field(const std::u16string& text, bool folder) {
    if (text.size() < kFieldChars) return text;
    size_t n = kFieldChars - 1;
    if (is_high_surrogate(text[n - 1])) --n;
    while (folder && n > 0 && (text[n - 1] == '\\' || text[n - 1] == '/')) --n;
    return text.substr(0, n);
}

void check_record(const MemberRecord& r, size_t i, int32_t threshold, const std::u16string& path) {
    check(r.method[0] == '7' && r.method[1] == 0 && r.method[2] == 'z', "method");
    check(r.position == i, "positions run from 0 without gaps");
    check(r.filesize > 0 && r.filesize <= uintptr_t(threshold) && r.filesize < uintptr_t(INT32_MAX),
          "size within the threshold");
    check(r.compsize == r.filesize, "compressed size");
    check(r.crc == 0 && r.timestamp == 12345, "fixed fields");
    const wchar16* name = file_name_of(path.c_str());
    check(std::u16string(r.path) == in_field(path.substr(0, name - path.c_str()), true),
          "the member's folder, never cut at a separator");
    size_t n = 0;
    while (n < kFieldChars && r.filename[n]) ++n;
    check(n < kFieldChars, "file name terminated within its field");
    check(std::u16string(r.filename, n) == in_field(name, false), "file name is the member's own, cut whole");
    for (size_t k = 0; k < n; ++k) check(r.filename[k] != '\\' && r.filename[k] != '\n', "file name text");
}

// One line of the text: the reader's first piece of it (at most 259
// units, where heads and values are read) and the whole of it.
struct Line {
    std::u16string first, whole;
};

bool head(const std::u16string& piece, const char* h) {
    size_t n = strlen(h);
    if (piece.size() <= n) return false;
    for (size_t i = 0; i < n; ++i) {
        char16_t c = piece[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char16_t>(c + 32);
        if (c != static_cast<char16_t>(tolower(h[i]))) return false;
    }
    return true;
}

// "l" then nine mode letters, as a word of the attributes.
bool link_mode(const std::u16string& v) {
    for (size_t i = 0; i + 10 <= v.size(); ++i) {
        if (v[i] != 'l' || (i > 0 && v[i - 1] != ' ')) continue;
        if (i + 10 < v.size() && v[i + 10] != ' ' && v[i + 10] != '\n') continue;
        if (v.find_first_not_of(u"rwxsStT-", i + 1) >= i + 10) return true;
    }
    return false;
}

// The listing as the host is to see it, built line by line from the
// format's rules: each member's path (a "Path = " line), paired with the
// first "Size = " line after it; a second path before any size is passed
// over; a member is kept when its size qualifies and it is no folder, no
// link, and its path is whole text of a length a command line can name.
void model_listing(const char* text, size_t len, int32_t threshold, std::vector<std::u16string>& listed,
                   std::vector<std::u16string>& kept, std::vector<size_t>& kept_at) {
    std::vector<Line> lines;
    MemorySource src{text, len};
    PieceReader reader(MemorySource::read, &src);
    wchar16 piece[kPathChars];
    size_t n;
    bool line_start = true;
    while (reader.next(piece, n)) {
        if (line_start) lines.push_back({std::u16string(piece, n), u""});
        lines.back().whole.append(piece, n);
        line_start = piece[n - 1] == '\n';
    }
    std::u16string path;
    int32_t size = 0;
    bool have_path = false, sized = false, folder = false, link = false;
    auto emit = [&] {
        listed.push_back(path);
        if (size > 0 && size < INT32_MAX && size <= threshold && !folder && !link && !path.empty() &&
            path.size() <= kMaxMemberPath && path.find(u'\0') == std::u16string::npos) {
            kept.push_back(path);
            kept_at.push_back(listed.size() - 1);
        }
    };
    for (const Line& l : lines) {
        const std::u16string& f = l.first;
        if (head(f, "Path = ")) {
            if (have_path && !sized) continue;
            if (have_path) emit();
            path = l.whole.substr(7);
            if (!path.empty() && path.back() == '\n') path.pop_back();
            have_path = true;
            sized = folder = link = false;
        } else if (have_path && !sized && head(f, "Size = ")) {
            size = parse_size(f.c_str() + 7);
            sized = true;
        } else if (have_path) {
            folder = folder || (head(f, "Folder = ") && f[9] == '+');
            link = link || (head(f, "Symbolic Link = ") && f[16] != '\n') || (head(f, "Hard Link = ") && f[12] != '\n') ||
                   (head(f, "Attributes = ") && link_mode(f.substr(13)));
        }
    }
    if (have_path && sized) emit();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int32_t threshold = threshold_from(data[0]);
    const char* text = reinterpret_cast<const char*>(data + 1);
    const size_t len = size - 1;
    check_read_sizes_do_not_matter(text, len);

    // The plug-in's two passes: count, allocate with a terminator, fill.
    MemorySource whole{text, len};
    PieceReader first(MemorySource::read, &whole);
    const size_t count = count_members(first, threshold);
    platform::OwnedBlock block(platform::alloc_block((count + 1) * sizeof(MemberRecord)));
    check(bool(block), "allocation");
    auto* table = static_cast<MemberRecord*>(block.get());
    UnevenSource uneven(text, len);
    PieceReader second(UnevenSource::read, &uneven);
    MemberPaths paths;
    const size_t filled = fill_members(second, threshold, 12345, table, count, &paths);
    paths.finish();

    check(filled == count, "the passes disagree on the count");
    std::vector<std::u16string> listed, kept;
    std::vector<size_t> kept_at;
    model_listing(text, len, threshold, listed, kept, kept_at);
    check(kept.size() == count, "the kept members and the count disagree");
    for (size_t i = 0; i < filled; ++i) check_record(table[i], i, threshold, kept[i]);
    check(is_table_end(table[count]), "terminator");

    // The full paths kept with the table, and which members can come out
    // alone, against every other listed path (for some thirty members
    // spread over a long listing, so a run stays quick).
    check(paths.complete() && paths.size() == count, "paths kept");
    const size_t step = count / 32 + 1;
    for (size_t i = 0; i < count; i += step) {
        size_t n = 0;
        const wchar16* p = paths.path(i, n);
        check(std::u16string(p, n) == kept[i], "a kept path is the member's own");
        bool alone = true;
        for (size_t j = 0; j < listed.size() && alone; ++j)
            if (j != kept_at[i]) alone = !brings_out(p, n, listed[j].data(), listed[j].size());
        check(paths.alone(i) == alone, "alone exactly when no other listed path comes out with it");
    }

    // The host's ANSI view of the same table.
    fileInfo* ansi = convert_table(table);
    check(ansi != nullptr, "ANSI allocation");
    check(table_count(ansi) == count, "ANSI count");
    for (size_t i = 0; i < count; ++i)
        check(memchr(ansi[i].filename, 0, sizeof ansi[i].filename) != nullptr, "ANSI name terminated");
    platform::free_block(ansi);
    return 0;
}
