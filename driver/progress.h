// How far a fetch has come, told to the one who asked for the member, and
// their wish to have it stopped.
#pragma once

#include <cstdint>

#include "driver/runner.h"
#include "driver/scratch.h"

// Told the bytes of the member written so far and its size: at the start,
// while 7-Zip works and at the end. Answers false to have the fetch stopped.
class FetchProgress {
public:
    virtual bool report(uint64_t done, uint64_t total) = 0;

protected:
    ~FetchProgress() = default;
};

// Watches the runs of one fetch. What has appeared in the scratch folder
// (none yet: 0) stands for the bytes written, never more than the member's
// size, since 7-Zip may write beside it.
class FetchWatch : public RunObserver {
public:
    FetchWatch(FetchProgress* progress, uint64_t size) : progress_(progress), size_(size) {}
    void watch(const ScratchFolder* folder) { folder_ = folder; }
    bool still_wanted() override;
    // The one asked said stop.
    bool stopped() const { return stopped_; }
    FetchProgress* progress() const { return progress_; }
    // The observer to give a run: none when nobody asked to be told.
    RunObserver* observer() { return progress_ ? this : nullptr; }

private:
    FetchProgress* progress_;
    const ScratchFolder* folder_ = nullptr;
    uint64_t size_;
    bool stopped_ = false;
};
