// Runs of 7-Zip: started hidden from its full path (never searched for),
// one run or two joined by a pipe, with the last one's standard output in a
// file, waited for, every handle closed.
#pragma once

#include "core/handle.h"
#include "core/text.h"
#include "driver/capture.h"
#include "driver/commands.h"

// Looks in on a run about every 100 ms while its programs work. Answering
// false ends them at once.
class RunObserver {
public:
    virtual bool still_wanted() = 0;

protected:
    ~RunObserver() = default;
};

// How a run went: whether every program of it started, whether an
// observer stopped it, and the exit code each one ended with (the first
// program's, then for a pipe the second's).
struct RunResult {
    bool started = false;
    bool stopped = false;
    int programs = 0;
    uint32_t exit_codes[2] = {0, 0};
    // Every program started and ended as 7-Zip does when all went well
    // (runner.cpp has the rule and why).
    bool succeeded() const;
};

// A run of 7-Zip started and not yet waited for: its programs work on
// while the caller does other things. A run that goes unfinished is ended
// then, its programs waited for (briefly), so nothing of theirs is open when
// the caller clears up after it.
class StartedRun {
public:
    StartedRun() = default;
    ~StartedRun();
    StartedRun(const StartedRun&) = delete;
    StartedRun& operator=(const StartedRun&) = delete;

    // False when a program of it could not be started; finish tells the rest.
    // A run in the background works below the priority of the runs a host
    // waits for, and of the host itself, until someone waits for it.
    bool start(const wchar16* exe, const ArchiverRun& run, const wchar16* output_path, bool background = false);
    // Puts the run in the background, or brings it to the fore while a
    // host waits for it.
    void set_background(bool background);
    // Waits up to `ms` for every program of the run to end: true when they have.
    bool wait(uint32_t ms) const;
    // Waits for the run as run_archiver does, and tells how it went.
    RunResult finish(RunObserver* observer = nullptr);

private:
    // The handles of the programs that started, and how many.
    DWORD started(HANDLE (&processes)[2]) const;

    KernelHandle processes_[2];
    int programs_ = 0;
};

// Runs 7-Zip once, or twice joined by a pipe. The standard output of the
// run (of its second program, for a pipe) goes to output_path, or is
// discarded when output_path is null. Without an observer the run is
// waited for without a time limit.
RunResult run_archiver(const wchar16* exe, const ArchiverRun& run, const wchar16* output_path,
                       RunObserver* observer = nullptr);

// A capture file opened for reading, with its piece reader.
class Capture {
public:
    Capture() : reader_(&Capture::read, this) {}
    bool open(const wchar16* path);
    bool next(wchar16 (&piece)[kPathChars], size_t& length) { return reader_.next(piece, length); }
    PieceReader& reader() { return reader_; }

private:
    static size_t read(void* context, char* buffer, size_t capacity);

    FileHandle file_;
    PieceReader reader_;
};

// Deletes a file when the request is done with it, on every path (nothing
// when the path is still empty).
class ScopedDelete {
public:
    explicit ScopedDelete(const wchar16* path) : path_(path) {}
    ~ScopedDelete() {
        if (path_[0]) DeleteFileW(path_);
    }
    ScopedDelete(const ScopedDelete&) = delete;
    ScopedDelete& operator=(const ScopedDelete&) = delete;

private:
    const wchar16* path_;
};
