// Our share of a listing, natively: the two passes over a real listing
// capture and the table they build, as list_archive does them, plus the copy
// a host is handed. Each capture is measured in a child process of its own,
// so its peak memory is its own.
//
//   scaling_bench OUT_CSV REPS CAPTURE...
//
// A capture's name carries its archive: listing.small.<members>.<format>.txt.
#include <fcntl.h>
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

#include "driver/scanner.h"
#include "host/platform.h"

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

void fill_pass(const char* path, MemberRecord* table, size_t count) {
    FileSource source{open(path, O_RDONLY)};
    PieceReader reader(FileSource::read, &source);
    fill_members(reader, kThreshold, 0, table, count);
    close(source.fd);
}

// list_archive's work after the run: count, one block, fill.
void* build_table(const char* path, size_t& count) {
    count = count_pass(path);
    void* block = platform::alloc_block((count + 1) * sizeof(MemberRecord));
    fill_pass(path, static_cast<MemberRecord*>(block), count);
    return block;
}

template <class F>
double median_time(int reps, F f) {
    std::vector<double> t;
    for (int r = 0; r < reps; ++r) {
        double t0 = now();
        f();
        t.push_back(now() - t0);
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
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

// One capture, in this (child) process: one CSV line on out.
void measure(const char* path, int reps, FILE* out) {
    std::string members_name, format;
    if (!archive_of(path, members_name, format)) {
        fprintf(stderr, "scaling_bench: not a listing capture: %s\n", path);
        exit(1);
    }
    long rss_before = peak_rss_kib();
    size_t count = 0;
    // The first build, in a fresh process, gives the peak memory.
    void* table = build_table(path, count);
    long rss_peak = peak_rss_kib();
    size_t table_bytes = (count + 1) * sizeof(MemberRecord);

    double build = median_time(reps, [&] {
        size_t n;
        platform::free_block(build_table(path, n));
    });
    double count_only = median_time(reps, [&] { count_pass(path); });
    double read_only = median_time(reps, [&] {
        int fd = open(path, O_RDONLY);
        static char buffer[1 << 14];
        while (::read(fd, buffer, sizeof buffer) > 0) continue;
        close(fd);
    });
    double copy = median_time(reps, [&] {
        void* block = platform::alloc_block(table_bytes);
        memcpy(block, table, table_bytes);
        platform::free_block(block);
    });
    // The scanner alone, on bytes already in memory: its throughput.
    std::string bytes = slurp(path);
    double scan = median_time(reps, [&] {
        MemorySource source{bytes.data(), bytes.size()};
        PieceReader reader(MemorySource::read, &source);
        count_members(reader, kThreshold);
    });
    platform::free_block(table);

    fprintf(out, "%s,%s,%zu,%zu,%.6f,%.6f,%.6f,%.6f,%.6f,%zu,%ld\n", format.c_str(), members_name.c_str(), count,
            bytes.size(), read_only, scan, count_only, build, copy, table_bytes, rss_peak - rss_before);
    fprintf(stderr,
            "  %-3s %6zu members %9zu bytes: build %8.3f ms (%6.1f ns/member), scan %7.1f MB/s, "
            "peak +%ld KiB\n",
            format.c_str(), count, bytes.size(), build * 1e3, build * 1e9 / static_cast<double>(count),
            static_cast<double>(bytes.size()) / scan / 1e6, rss_peak - rss_before);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: scaling_bench OUT_CSV REPS CAPTURE...\n");
        return 2;
    }
    FILE* out = fopen(argv[1], "w");
    if (!out) return 1;
    fprintf(out, "format,members,kept,capture_bytes,read_s,scan_memory_s,count_pass_s,build_s,copy_s,"
                 "table_bytes,peak_rss_kib\n");
    fflush(out);
    int reps = atoi(argv[2]);
    for (int i = 3; i < argc; ++i) {
        pid_t child = fork();
        if (child == 0) {
            measure(argv[i], reps, out);
            fflush(out);
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
    }
    fclose(out);
    return 0;
}
