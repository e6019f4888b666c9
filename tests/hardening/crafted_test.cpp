// Archives written byte by byte, with member names and sizes no archiver
// would make, fetched through the real 7-Zip. Nothing outside the work and
// destination folders may change, every answer is a plain result code, and
// the ordinary members around the crafted ones still come out whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>

#include "support/test_host.h"

namespace {

void put16(std::string& out, uint32_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}

void put32(std::string& out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// One stored member: its name as raw UTF-8 bytes, its bytes, and the size
// both headers claim when that is not the truth.
struct ZipMember {
    std::string name;
    std::string bytes;
    long long claimed_size = -1;
    bool read_only = false;  // made on Windows with the read-only attribute, as zips made there often are
};

// Local headers, the central directory and its end record. Every member is
// stored, flagged as UTF-8 and made on Unix, so 7-Zip takes its name as is.
std::string zip_of(const std::vector<ZipMember>& members) {
    std::string out, central;
    for (const ZipMember& m : members) {
        uint32_t offset = static_cast<uint32_t>(out.size());
        uint32_t size = static_cast<uint32_t>(m.claimed_size < 0 ? m.bytes.size() : m.claimed_size);
        std::string common;
        put16(common, 0x0800);  // UTF-8 name
        put16(common, 0);       // stored
        put16(common, 0x6000);  // 12:00
        put16(common, 0x5821);  // 2024-01-01
        put32(common, crc32(m.bytes));
        put32(common, size);
        put32(common, size);
        put16(common, static_cast<uint32_t>(m.name.size()));
        put16(common, 0);  // no extra field

        put32(out, 0x04034B50);
        put16(out, 10);
        out += common + m.name + m.bytes;

        put32(central, 0x02014B50);
        put16(central, m.read_only ? 0x000A : 0x030A);  // made on Windows or Unix, 1.0
        put16(central, 10);
        central += common;
        put16(central, 0);  // comment
        put16(central, 0);  // disk
        put16(central, 0);  // internal attributes
        put32(central, m.read_only ? 0x21u : 0x81A40000u);  // archive + read-only, or rw-r--r--
        put32(central, offset);
        central += m.name;
    }
    uint32_t central_offset = static_cast<uint32_t>(out.size());
    out += central;
    put32(out, 0x06054B50);
    put32(out, 0);  // disk numbers
    put16(out, static_cast<uint32_t>(members.size()));
    put16(out, static_cast<uint32_t>(members.size()));
    put32(out, static_cast<uint32_t>(central.size()));
    put32(out, central_offset);
    put16(out, 0);
    return out;
}

// A gzip stream of stored deflate blocks.
std::string gzip_of(const std::string& data) {
    std::string out("\x1F\x8B\x08\x00\x00\x00\x00\x00\x00\xFF", 10);
    size_t at = 0;
    do {
        size_t n = std::min<size_t>(data.size() - at, 65535);
        out += static_cast<char>(at + n == data.size() ? 1 : 0);
        put16(out, static_cast<uint32_t>(n));
        put16(out, static_cast<uint32_t>(~n & 0xFFFF));
        out.append(data, at, n);
        at += n;
    } while (at < data.size());
    put32(out, crc32(data));
    put32(out, static_cast<uint32_t>(data.size()));
    return out;
}

std::wstring write_file(const std::wstring& name, const std::string& bytes) {
    std::wstring path = join(fresh_dir(L"crafted"), name);
    write_bytes(path, bytes);
    return path;
}

std::wstring parent_of(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

// Everything below root with its size and last write, leaving out the
// subtrees the plug-in may change.
std::map<std::wstring, std::string> snapshot(const std::wstring& root, const std::vector<std::wstring>& skip) {
    std::map<std::wstring, std::string> out;
    for (const std::wstring& rel : list_tree(root)) {
        std::wstring full = join(root, rel);
        bool skipped = false;
        for (const std::wstring& s : skip)
            skipped = skipped || full == s || full.compare(0, s.size() + 1, s + L"\\") == 0;
        if (skipped) continue;
        WIN32_FILE_ATTRIBUTE_DATA d = {};
        GetFileAttributesExW(full.c_str(), GetFileExInfoStandard, &d);
        out[rel] = std::to_string(d.nFileSizeLow) + "@" + std::to_string(d.ftLastWriteTime.dwLowDateTime) + "." +
                   std::to_string(d.ftLastWriteTime.dwHighDateTime);
    }
    return out;
}

// A member and the code file output gives it: 0 when it comes out, else
// it is refused: 9 when the listed file name cannot be a file, else 6.
struct Crafted {
    ZipMember member;
    int file_rc;
    bool bytes_anyway = false;  // to memory, whatever its name: no file is made of it
};

}  // namespace

TEST(CraftedZip, TheWriterMakesWhat7ZipTestsAndExtracts) {
    std::vector<ZipMember> m = {{"a.png", pattern_bytes(100, 1)}, {"d/b.png", pattern_bytes(3, 2)}};
    std::wstring zip = write_file(L"plain.zip", zip_of(m));
    EXPECT_EQ(0, run_7z(L"t \"" + zip + L"\""));
    std::wstring out = fresh_dir(L"x");
    EXPECT_EQ(0, run_7z(L"x \"" + zip + L"\" -o\"" + out + L"\""));
    EXPECT_EQ(m[0].bytes, read_bytes(join(out, L"a.png")));
    EXPECT_EQ(m[1].bytes, read_bytes(join(out, L"d\\b.png")));

    std::string tar = tar_of({{"t.png", pattern_bytes(700, 3)}});
    std::wstring tgz = write_file(L"plain.tgz", gzip_of(tar));
    std::wstring tout = fresh_dir(L"x");
    EXPECT_EQ(0, run_7z(L"x \"" + tgz + L"\" -o\"" + tout + L"\""));
    EXPECT_EQ(tar, read_bytes(join(tout, L"plain.tar")));
}

TEST(CraftedZip, ANameIsFoundAsItIsNotAsItLooks) {
    // A soft hyphen weighs nothing to a linguistic comparison; to a name it is
    // a character like any other.
    std::vector<ZipMember> m = {{"a\xC2\xAD.png", pattern_bytes(10, 1)}, {"a.png", pattern_bytes(11, 2)},
                                {"d/a.png", pattern_bytes(12, 3)}};
    std::wstring zip = write_file(L"hyphen.zip", zip_of(m));
    std::string ansi = utf8(zip);
    Plugin p(ini_with_7zip());
    for (const wchar_t* name : {L"A.png", L"d/a.png", L"d\\A.PNG"}) {
        fileInfoW info = {};
        ASSERT_EQ(0, p.GetFileInfoW(zip.c_str(), 0, name, 0, &info)) << utf8(name);
        EXPECT_EQ(m[name[0] == 'd' ? 2 : 1].bytes, fetch_memory(p, zip, info.position)) << utf8(name);
        fileInfo ainfo = {};
        ASSERT_EQ(0, p.GetFileInfo(ansi.c_str(), 0, utf8(name).c_str(), 0, &ainfo));
        EXPECT_EQ(info.position, ainfo.position);
    }
}

TEST(CraftedZip, HostileNamesChangeNothingOutsideAndSpareTheOtherMembers) {
    CurrentFolder cwd(fresh_dir(L"cwd"));
    std::wstring dest = fresh_dir(L"dest");
    std::wstring root = parent_of(dest);  // the destination's parent, and TEMP's
    std::wstring temp = parent_of(work_area());
    // An absolute name on the current drive, pointing into the watched tree.
    std::string escaped = utf8(root.substr(2)) + "\\escaped.png";
    for (char& c : escaped)
        if (c == '\\') c = '/';

    std::vector<Crafted> c = {
        {{"ok1.png", pattern_bytes(100, 1)}, 0},
        // A quote closes the member's quoting: the rest would be switches,
        // here "use absolute paths" and "every member".
        {{"q1.png\" -spf -i!\"*", pattern_bytes(10, 2)}, 9},
        {{escaped, pattern_bytes(11, 3)}, 6},
        {{"q*.png", pattern_bytes(12, 4)}, 9},
        {{"q?.png", pattern_bytes(13, 5)}, 9},
        {{"*", pattern_bytes(14, 6)}, 9},
        {{"q1.png", pattern_bytes(30, 7)}, 0},
        {{"../sentinel.png", pattern_bytes(15, 8)}, 6},
        // 7-Zip keeps the backslash of a name made on Unix as U+F05C: one
        // odd name, inside the folder.
        {{"..\\sentinel.png", pattern_bytes(16, 9)}, 0},
        {{"..a.png", pattern_bytes(37, 30)}, 0},
        {{"a/../../sentinel.png", pattern_bytes(17, 10)}, 6},
        {{"../../sentinel.png", pattern_bytes(18, 11)}, 6},
        {{"/abs.png", pattern_bytes(19, 12)}, 6},
        {{"C:\\abs.png", pattern_bytes(20, 13)}, 9},
        {{"C:/abs.png", pattern_bytes(21, 14)}, 6},
        {{"//server/share/unc.png", pattern_bytes(22, 15)}, 6},
        {{"CON", pattern_bytes(23, 16)}, 9},
        {{"nul.png", pattern_bytes(24, 17)}, 9},
        {{"COM1.txt", pattern_bytes(25, 18)}, 9},
        {{"d/AUX", pattern_bytes(26, 19)}, 9},
        {{"LPT1.png", pattern_bytes(27, 20)}, 9},
        {{"a<b>.png", pattern_bytes(28, 21)}, 9},
        {{"p|q.png", pattern_bytes(29, 22)}, 9},
        {{"ctl\x01.png", pattern_bytes(31, 23)}, 9},
        // 7-Zip would bring out both namesakes (case aside), the last winning.
        {{"dup.png", pattern_bytes(32, 24)}, 6},
        {{"dup.png", pattern_bytes(33, 25)}, 6},
        {{"Pic.png", pattern_bytes(38, 31)}, 6},
        {{"pic.PNG", pattern_bytes(39, 32)}, 6},
        // 7-Zip matches names by upper-casing each character: these two are
        // one name to it, though not to the file system.
        {{"\xCA\x80.png", pattern_bytes(42, 33)}, 6},
        {{"\xC6\xA6.png", pattern_bytes(66, 34)}, 6},
        // Asked for "pics", 7-Zip brings out the folder of that name too.
        {{"pics", pattern_bytes(10, 35)}, 6},
        {{"pics/1.png", pattern_bytes(11, 36)}, 0},
        // Windows cannot keep a trailing dot or space: 7-Zip renames them.
        {{"dot.png.", pattern_bytes(12, 37)}, 0},
        {{"space.png ", pattern_bytes(13, 38)}, 0},
        // Listed whole (250 characters); the record keeps 199 of them.
        {{std::string(246, 'L') + ".png", pattern_bytes(34, 26)}, 0},
        // Longer than a file name can be: 7-Zip cannot make it, but its
        // bytes alone come out.
        {{std::string(296, 'M') + ".png", pattern_bytes(35, 27)}, 6, true},
        {{"d/" + std::string(256, 'N') + ".png", pattern_bytes(36, 28)}, 6, true},
        {{"dir/ok2.png", pattern_bytes(200, 29)}, 0},
    };
    std::vector<ZipMember> members;
    for (const Crafted& x : c) members.push_back(x.member);
    std::wstring zip = write_file(L"hostile.zip", zip_of(members));

    const std::string kKeep = "keep me";
    std::vector<std::wstring> sentinels = {join(temp, L"sentinel.png"), join(root, L"sentinel.png"),
                                           join(cwd.dir, L"sentinel.png"), join(parent_of(zip), L"sentinel.png")};
    for (const std::wstring& s : sentinels) write_bytes(s, kKeep);
    Plugin p(ini_with_7zip());
    std::vector<std::wstring> skip = {work_area(), dest};
    std::map<std::wstring, std::string> before = snapshot(root, skip);

    ASSERT_EQ(1, p.IsSupportedW(zip.c_str(), kHeader));
    std::vector<fileInfoW> records = list(p, zip);
    ASSERT_EQ(c.size(), records.size());

    for (size_t i = 0; i < c.size(); ++i) {
        const std::string& name = c[i].member.name;
        std::string got = fetch_memory(p, zip, i);
        int frc = fetch_file(p, zip, i, dest);
        // Only a file the plug-in says it made is opened: other names may be devices.
        std::string file;
        if (frc == 0) {
            std::wstring made = join(dest, records[i].filename);
            file = read_bytes(made);
            DeleteFileW(made.c_str());
        }
        if (c[i].file_rc) {
            EXPECT_EQ(c[i].bytes_anyway ? c[i].member.bytes : "<rc 6>", got) << name;
            EXPECT_EQ(c[i].file_rc, frc) << name;
            continue;
        }
        EXPECT_EQ(0, frc) << name;
        EXPECT_EQ(c[i].member.bytes, got) << name;
        EXPECT_EQ(c[i].member.bytes, file) << name;
    }
    expect_work_area_empty(false, true);
    // After all that, the ordinary members still come out whole.
    for (size_t i = 0; i < c.size(); ++i) {
        if (c[i].file_rc) continue;
        EXPECT_EQ(c[i].member.bytes, fetch_memory(p, zip, i)) << c[i].member.name;
    }
    EXPECT_TRUE(list_tree(dest).empty());
    for (const std::wstring& s : sentinels) EXPECT_EQ(kKeep, read_bytes(s)) << utf8(s);
    EXPECT_EQ(before, snapshot(root, skip));
    // Where joining "..a.png" to the destination with PathCombineW lands.
    EXPECT_FALSE(exists(root + L"a.png"));
}

TEST(CraftedZip, ReadOnlyMembersComeOutEveryTime) {
    std::vector<ZipMember> m = {{"ro.png", pattern_bytes(60, 1), -1, true}, {"d/ro2.png", pattern_bytes(61, 2), -1, true}};
    std::wstring zip = write_file(L"readonly.zip", zip_of(m));
    Plugin p(ini_with_7zip());
    std::vector<fileInfoW> records = list(p, zip);
    ASSERT_EQ(2u, records.size());
    for (int round = 0; round < 2; ++round) {
        for (size_t i = 0; i < m.size(); ++i) {
            EXPECT_EQ(m[i].bytes, fetch_memory(p, zip, i)) << round;
            std::wstring out = fresh_dir(L"out");
            ASSERT_EQ(0, fetch_file(p, zip, i, out));
            std::wstring made = join(out, records[i].filename);
            EXPECT_EQ(m[i].bytes, read_bytes(made));
            // The host's copy is its own to change or delete.
            EXPECT_FALSE(GetFileAttributesW(made.c_str()) & FILE_ATTRIBUTE_READONLY);
        }
        EXPECT_TRUE(work_area_leftovers(false, true).empty()) << round;
    }
}

TEST(CraftedZip, AMemberClaimingBytesItDoesNotHaveSinksTheArchive) {
    std::vector<ZipMember> m = {{"fine.png", pattern_bytes(50, 1)}, {"liar.png", pattern_bytes(10, 2), 1000}};
    std::wstring zip = write_file(L"liar.zip", zip_of(m));
    Plugin p(ini_with_7zip());
    EXPECT_EQ(0, p.IsSupportedW(zip.c_str(), kHeader));
    EXPECT_EQ(2, listing_code(p, zip));
    fileInfoW info = {};
    EXPECT_EQ(2, p.GetFileInfoW(zip.c_str(), 0, L"fine.png", 0, &info));
    EXPECT_EQ("<rc 2>", fetch_memory(p, zip, 0));
    expect_work_area_empty(true, true);
}

TEST(CraftedTar, NamesThroughThePipeRunNoCommandAndNameNoVariable) {
    // Through the tar pipe a name passes no command interpreter: & and
    // %NAME% mean nothing, a quote is still refused, and the archive's own
    // path may hold them too.
    CurrentFolder cwd(fresh_dir(L"cwd"));
    SetEnvironmentVariableW(L"RIZAZUR_OTHER", L"other");
    std::vector<TarEntry> files = {
        {"ok.png", pattern_bytes(40, 1)},
        {"x\" & mkdir pwned & \"y.png", pattern_bytes(41, 2)},
        {"%RIZAZUR_OTHER%.png", pattern_bytes(42, 3)},
        {"other.png", pattern_bytes(43, 4)},
        {"100% & more.png", pattern_bytes(44, 5)},
    };
    std::wstring tgz = write_file(L"%PATH% & 100%.tgz", gzip_of(tar_of(files)));
    Plugin p(ini_with_7zip());
    ASSERT_EQ(files.size(), list(p, tgz).size());
    for (size_t i = 0; i < files.size(); ++i)  // the one with a quote refused
        EXPECT_EQ(i == 1 ? "<rc 6>" : files[i].bytes, fetch_memory(p, tgz, i)) << files[i].name;
    SetEnvironmentVariableW(L"RIZAZUR_OTHER", nullptr);
    EXPECT_TRUE(list_tree(cwd.dir).empty());
    expect_work_area_empty(true, true);
}

TEST(CraftedTar, LinksFoldersWithASizeAndLongPaths) {
    std::string deep;
    for (int i = 0; i < 75; ++i) deep += "123/";
    deep += "longname.png";  // 312 characters, in folders of short names
    std::vector<TarEntry> entries = {
        {"real.png", pattern_bytes(20, 1)},
        {"sym.png", "", '2', "real.png"},
        // Sizes in their headers, but no bytes: tar keeps none for these.
        {"hard.png", "", '1', "real.png", 20},
        {"folder", "", '5', "", 255},
        {deep, pattern_bytes(30, 4)},
    };
    std::wstring tar = write_file(L"links.tar", tar_of(entries));
    Plugin p(ini_with_7zip());
    std::vector<fileInfoW> records = list(p, tar);
    // Only what can come out as its own bytes is listed, under its own name.
    ASSERT_EQ(2u, records.size());
    EXPECT_STREQ(L"real.png", records[0].filename);
    EXPECT_STREQ(L"longname.png", records[1].filename);
    EXPECT_EQ(entries[0].bytes, fetch_memory(p, tar, 0));
    EXPECT_EQ(entries[4].bytes, fetch_memory(p, tar, 1));
    std::wstring out = fresh_dir(L"out");
    ASSERT_EQ(0, fetch_file(p, tar, 1, out));
    EXPECT_EQ(entries[4].bytes, read_bytes(join(out, L"longname.png")));
    expect_work_area_empty(false, true);
}

namespace {

struct DeepFetch {
    Plugin* p;
    std::wstring zip, out;
    int memory_rc, file_rc;
    std::string bytes;
};

// A host's 1 MB thread with most of its stack in use when it calls the
// plug-in. Wine makes and reads a tree 1,500 folders deep far too slowly
// for a test (600 levels: half a minute to make, more to list), so the
// member lies 350 folders deep and the plug-in has about a quarter of the
// stack: the same share per folder level.
DWORD WINAPI fetch_both_ways(void* arg) {
    volatile char in_use[768 << 10];
    in_use[0] = in_use[sizeof in_use - 1] = 1;
    auto* job = static_cast<DeepFetch*>(arg);
    job->bytes = fetch_memory(*job->p, job->zip, 0, &job->memory_rc);
    job->file_rc = fetch_file(*job->p, job->zip, 0, job->out);
    return in_use[1];
}

}  // namespace

TEST(CraftedZip, AMemberHundredsOfFoldersDeepOnAHostSizedStack) {
    std::string deep;
    for (int i = 0; i < 350; ++i) deep += "d/";
    std::vector<ZipMember> m = {{deep + "deep.png", pattern_bytes(40, 9)}};
    Plugin p(ini_with_7zip());
    DeepFetch job{&p, write_file(L"deep.zip", zip_of(m)), fresh_dir(L"out"), -99, -99, ""};
    HANDLE thread = CreateThread(nullptr, 1 << 20, fetch_both_ways, &job, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    ASSERT_NE(nullptr, thread);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_EQ(0, job.memory_rc);
    EXPECT_EQ(m[0].bytes, job.bytes);
    EXPECT_EQ(0, job.file_rc);
    EXPECT_EQ(m[0].bytes, read_bytes(join(job.out, L"deep.png")));
    EXPECT_TRUE(work_area_leftovers(false, true).empty());
}

TEST(CraftedListing, MoreMembersThanATableCanBeSizedFor) {
    // (count + 1) records pass 4 GiB from some 5.19 million members: only a
    // 32-bit size_t wraps there.
    if (sizeof(void*) != 4) GTEST_SKIP() << "a 64-bit size cannot wrap";
    DictatedArchive s("");
    write_bytes(join(s.dir, L"many-l.txt"), "5200000");
    Plugin p(s.ini());
    EXPECT_EQ(4, listing_code(p, s.archive));
}
