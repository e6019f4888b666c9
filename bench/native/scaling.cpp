// Our share of a listing, natively: the two passes over a real listing
// capture and the table they build, as list_archive does them, plus the copy
// a host is handed. Each capture's peak memory is taken in a child process
// of its own, so it is that capture's alone.
//
//   scaling_bench OUT_CSV REPS CAPTURE...   (adds one row per capture)
//
// A capture's name carries its archive: listing.small.<members>.<format>.txt.
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "core/platform.h"
#include "driver/scanner.h"

namespace {

double now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

long peak_rss_kib() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// The capture file read as the plug-in reads it: straight into the piece
// reader's buffer.
struct FileSource {
    int fd;
    static size_t read(void* context, char* buffer, size_t capacity) {
        ssize_t n = ::read(static_cast<FileSource*>(context)->fd, buffer, capacity);
        return n > 0 ? static_cast<size_t>(n) : 0;
    }
};

const int32_t kThreshold = 64 << 20;  // the plug-in's default maxMB

size_t count_pass(const char* path) {
    FileSource source{open(path, O_RDONLY)};
    PieceReader reader(FileSource::read, &source);
    size_t n = count_members(reader, kThreshold);
    close(source.fd);
    return n;
}

// The fill pass with the members' full paths and their namesake marks, as
// the listing keeps them beside the table.
void fill_pass(const char* path, MemberRecord* table, size_t count) {
    FileSource source{open(path, O_RDONLY)};
    PieceReader reader(FileSource::read, &source);
    MemberPaths paths;
    fill_members(reader, kThreshold, 0, table, count, &paths);
    paths.finish();
    close(source.fd);
}

// list_archive's work after the run: count, one block, fill.
void* build_table(const char* path, size_t& count) {
    count = count_pass(path);
    void* block = platform::alloc_block((count + 1) * sizeof(MemberRecord));
    fill_pass(path, static_cast<MemberRecord*>(block), count);
    return block;
}

std::string slurp(const char* path) {
    std::string bytes;
    FILE* f = fopen(path, "rb");
    if (!f) return bytes;
    char buffer[1 << 16];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
    fclose(f);
    return bytes;
}

// members,format from listing.small.<members>.<format>.txt
bool archive_of(const char* path, std::string& members, std::string& format) {
    std::string name = path;
    size_t slash = name.find_last_of('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    const std::string head = "listing.small.";
    if (name.compare(0, head.size(), head) != 0) return false;
    name = name.substr(head.size());
    size_t dot = name.find('.');
    size_t ext = name.rfind(".txt");
    if (dot == std::string::npos || ext == std::string::npos || ext <= dot) return false;
    members = name.substr(0, dot);
    format = name.substr(dot + 1, ext - dot - 1);
    return true;
}

struct Capture {
    const char* path;
    std::string format, members;
    size_t count = 0;
    size_t table_bytes = 0;
    long peak_kib = 0;
    std::string bytes;
    void* table = nullptr;
    std::vector<double> read, scan, count_pass, build, copy;
};

// The growth of the resident set while the table is built, in a child
// process that does nothing else.
long peak_growth(const char* path) {
    int fds[2];
    if (pipe(fds) != 0) exit(1);
    pid_t child = fork();
    if (child == 0) {
        long before = peak_rss_kib();
        size_t n;
        build_table(path, n);
        long growth = peak_rss_kib() - before;
        if (write(fds[1], &growth, sizeof growth) != sizeof growth) _exit(1);
        _exit(0);
    }
    long growth = -1;
    if (read(fds[0], &growth, sizeof growth) != sizeof growth) growth = -1;
    waitpid(child, nullptr, 0);
    close(fds[0]);
    close(fds[1]);
    return growth;
}

template <class F>
void time_into(std::vector<double>& samples, F f) {
    double t0 = now();
    f();
    samples.push_back(now() - t0);
}

double median_of(std::vector<double>& t) {
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: scaling_bench OUT_CSV REPS CAPTURE...\n");
        return 2;
    }
    // Every table in fresh pages, as LocalAlloc gives the plug-in a large
    // block under Windows; glibc would otherwise reuse freed memory once its
    // threshold has risen past a table's size, and the smaller sizes would
    // look cheaper than they are.
    mallopt(M_MMAP_THRESHOLD, 128 << 10);
    int reps = atoi(argv[2]);
    std::vector<Capture> captures;
    for (int i = 3; i < argc; ++i) {
        Capture c;
        c.path = argv[i];
        if (!archive_of(c.path, c.members, c.format)) {
            fprintf(stderr, "scaling_bench: not a listing capture: %s\n", c.path);
            return 1;
        }
        c.peak_kib = peak_growth(c.path);
        c.table = build_table(c.path, c.count);
        c.table_bytes = (c.count + 1) * sizeof(MemberRecord);
        c.bytes = slurp(c.path);
        captures.push_back(std::move(c));
    }
    // Round after round over every capture, so a burst of load on a shared
    // machine falls on all sizes alike instead of on one.
    for (int r = 0; r < reps; ++r) {
        for (Capture& c : captures) {
            time_into(c.build, [&] {
                size_t n;
                platform::free_block(build_table(c.path, n));
            });
            time_into(c.count_pass, [&] { count_pass(c.path); });
            time_into(c.read, [&] {
                int fd = open(c.path, O_RDONLY);
                static char buffer[1 << 14];
                while (::read(fd, buffer, sizeof buffer) > 0) continue;
                close(fd);
            });
            time_into(c.copy, [&] {
                void* block = platform::alloc_block(c.table_bytes);
                memcpy(block, c.table, c.table_bytes);
                platform::free_block(block);
            });
            // The scanner alone, on bytes already in memory: its throughput.
            time_into(c.scan, [&] {
                MemorySource source{c.bytes.data(), c.bytes.size()};
                PieceReader reader(MemorySource::read, &source);
                count_members(reader, kThreshold);
            });
        }
    }
    // Rows are added: tools/bench.sh runs this once per round, between the
    // archiver's listings, so both see the same load.
    FILE* out = fopen(argv[1], "a");
    if (!out) return 1;
    if (ftell(out) == 0)
        fprintf(out, "format,members,kept,capture_bytes,read_s,scan_memory_s,count_pass_s,build_s,build_min_s,"
                     "copy_s,table_bytes,peak_rss_kib\n");
    for (Capture& c : captures) {
        double build_min = *std::min_element(c.build.begin(), c.build.end());
        double build = median_of(c.build), scan = median_of(c.scan);
        fprintf(out, "%s,%s,%zu,%zu,%.6f,%.6f,%.6f,%.6f,%.6f,%.6f,%zu,%ld\n", c.format.c_str(), c.members.c_str(),
                c.count, c.bytes.size(), median_of(c.read), scan, median_of(c.count_pass), build, build_min,
                median_of(c.copy), c.table_bytes, c.peak_kib);
        fprintf(stderr,
                "  %-3s %6zu members %9zu bytes: build %8.3f ms (%6.1f ns/member), scan %7.1f MB/s, "
                "peak +%ld KiB\n",
                c.format.c_str(), c.count, c.bytes.size(), build * 1e3, build * 1e9 / static_cast<double>(c.count),
                static_cast<double>(c.bytes.size()) / scan / 1e6, c.peak_kib);
        platform::free_block(c.table);
    }
    fclose(out);
    return 0;
}
