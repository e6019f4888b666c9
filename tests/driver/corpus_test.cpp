// Archives made elsewhere: whatever 7-Zip tests as OK lists through the
// plug-in with the members, sizes and names 7-Zip's own listing gives, and
// every kept member comes back as 7-Zip itself extracts it. The archives are
// an extra beside the repository: without their folder these tests are
// skipped, saying why; a folder that is there but holds none fails the run.
#include <gtest/gtest.h>

#include <cctype>
#include <cwchar>

#include "support/test_host.h"
#include "test_config.h"

namespace {

bool corpus_present() {
    DWORD a = GetFileAttributesW(RIZAZUR_CORPUS_DIR);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::wstring> corpus_files() {
    if (!corpus_present()) return {};
    std::vector<std::wstring> out;
    for (const std::wstring& n : list_tree(RIZAZUR_CORPUS_DIR))
        if (n.find(L'\\') == std::wstring::npos && n != L"MANIFEST.tsv" &&
            !(GetFileAttributesW(join(RIZAZUR_CORPUS_DIR, n).c_str()) & FILE_ATTRIBUTE_DIRECTORY))
            out.push_back(n);
    return out;
}

struct Member {
    std::wstring path;
    long long size;
};

// 7-Zip's own listing, read with no help from the plug-in: the members that
// can come out as files of their own (no folders, no links), of a size kept.
std::vector<Member> reference_listing(const std::wstring& archive) {
    std::wstring out = join(fresh_dir(L"ref"), L"list.txt");
    run_7z(L"l \"" + archive + L"\" -slt -ba -sccUTF-8", out);
    std::wstring text = widen(read_bytes(out)) + L"\nPath = ";
    std::vector<Member> members;
    Member m;
    bool have_path = false, sized = false, dropped = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find(L'\n', start);
        if (nl == std::wstring::npos) nl = text.size();
        std::wstring line = text.substr(start, nl - start);
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        start = nl + 1;
        auto value = [&](const wchar_t* head) {
            return line.rfind(head, 0) == 0 ? line.substr(wcslen(head)) : std::wstring();
        };
        if (line.rfind(L"Path = ", 0) == 0) {
            if (have_path && sized && !dropped && m.size > 0 && m.size <= 64LL << 20) members.push_back(m);
            m = Member{value(L"Path = "), 0};
            have_path = true;
            sized = dropped = false;
        } else if (have_path && !sized && line.rfind(L"Size = ", 0) == 0) {
            m.size = _wtoi64(value(L"Size = ").c_str());
            sized = true;
        } else if (line == L"Folder = +" || !value(L"Symbolic Link = ").empty() || !value(L"Hard Link = ").empty() ||
                   value(L"Attributes = ").find(L" lrw") != std::wstring::npos) {
            dropped = true;
        }
    }
    return members;
}

// What the plug-in lists: a compressed stream whose plain listing names
// nothing but a size is read as the tar inside, when that is one.
std::wstring listed_archive(const std::wstring& archive) {
    std::wstring out = join(fresh_dir(L"ref"), L"plain.txt");
    run_7z(L"l \"" + archive + L"\" -slt -ba", out);
    std::string plain = read_bytes(out);
    if (plain.find("Path = ") != std::string::npos || plain.find("Size = ") == std::string::npos) return archive;
    std::wstring inner = fresh_dir(L"inner");
    run_7z(L"x \"" + archive + L"\" -o\"" + inner + L"\"");
    std::vector<std::wstring> files = list_tree(inner);
    if (files.size() != 1) return archive;
    std::wstring tar = join(inner, files[0]);
    std::wstring check = join(fresh_dir(L"ref"), L"tar.txt");
    run_7z(L"l \"" + tar + L"\" -ttar -slt -ba", check);
    return read_bytes(check).find("Path = ") == std::string::npos ? archive : tar;
}

bool tests_ok(const std::wstring& archive) {
    std::wstring out = join(fresh_dir(L"ref"), L"test.txt");
    run_7z(L"t \"" + archive + L"\"", out);
    return read_bytes(out).find("Everything is Ok\r\n") != std::string::npos;
}

class Corpus : public ::testing::TestWithParam<std::wstring> {};

std::string test_name(const ::testing::TestParamInfo<std::wstring>& info) {
    std::string n = utf8(info.param);
    for (char& c : n)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return n;
}

}  // namespace

TEST_P(Corpus, ListsAndFetchesAs7ZipDoes) {
    std::wstring archive = join(RIZAZUR_CORPUS_DIR, GetParam());
    // A copy of our own: the folder of archives may be read-only.
    std::wstring copy = join(fresh_dir(L"corpus"), GetParam());
    ASSERT_TRUE(CopyFileW(archive.c_str(), copy.c_str(), FALSE));
    for (const wchar_t* part : {L".part2.rar", L".part3.rar"}) {
        std::wstring from = archive.substr(0, archive.rfind(L".part1.rar")) + part;
        if (archive.find(L".part1.rar") != std::wstring::npos)
            CopyFileW(from.c_str(), (copy.substr(0, copy.rfind(L".part1.rar")) + part).c_str(), FALSE);
    }
    // Taken as 7-Zip takes them given no password: an encrypted one is
    // refused, not asked about.
    Plugin p(ini_with_7zip(L"askPassword=0\r\n"));
    // Reading ahead off, every member comes out on its own, its bytes from
    // 7-Zip's output.
    Plugin alone_runs(ini_with_7zip(L"askPassword=0\r\naheadMB=0\r\n"));
    bool ok = tests_ok(copy);
    EXPECT_EQ(ok ? 1 : 0, p.IsSupportedW(copy.c_str(), kHeader));
    if (!ok) {
        EXPECT_EQ(2, listing_code(p, copy));
        return;
    }
    std::vector<fileInfoW> got = list(p, copy);
    std::wstring listed = listed_archive(copy);
    std::vector<Member> want = reference_listing(listed);
    ASSERT_EQ(want.size(), got.size());

    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(utf8(want[i].path));
        EXPECT_EQ(want[i].path.substr(want[i].path.find_last_of(L'\\') + 1), got[i].filename);
        EXPECT_EQ(static_cast<uintptr_t>(want[i].size), got[i].filesize);
        // What 7-Zip makes of this one member on its own (a hard link, say,
        // cannot come out without its target).
        std::wstring alone = fresh_dir(L"x");
        run_7z(L"x \"" + listed + L"\" -o\"" + alone + L"\" -aoa \"-i!" + want[i].path + L"\"");
        std::string expected = read_bytes(join(alone, want[i].path));
        EXPECT_EQ(expected.empty() ? "<rc 6>" : expected, fetch_memory(p, copy, i));
        EXPECT_EQ(expected.empty() ? "<rc 6>" : expected, fetch_memory(alone_runs, copy, i));
    }
}

INSTANTIATE_TEST_SUITE_P(Shared, Corpus, ::testing::ValuesIn(corpus_files()), test_name);
// No folder, no cases: HoldsArchives says so.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Corpus);

TEST(CorpusFolder, HoldsArchives) {
    if (!corpus_present())
        GTEST_SKIP() << "no corpus folder at " << utf8(RIZAZUR_CORPUS_DIR)
                     << " (set RIZAZUR_CORPUS to one): its archives were not tried";
    EXPECT_FALSE(corpus_files().empty()) << utf8(RIZAZUR_CORPUS_DIR);
}
