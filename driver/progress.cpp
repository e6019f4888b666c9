#include "driver/progress.h"

bool FetchWatch::still_wanted() {
    if (stopped_ || !progress_) return !stopped_;
    uint64_t done = folder_ ? folder_->bytes_written() : 0;
    if (done > size_) done = size_;
    stopped_ = !progress_->report(done, size_);
    return !stopped_;
}
