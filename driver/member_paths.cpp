#include "driver/member_paths.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "core/platform.h"
#include "driver/paths.h"

namespace {

bool is_separator(wchar16 c) { return c == '\\' || c == '/'; }

}  // namespace

void MemberPaths::give_up() {
    complete_ = false;
    std::vector<wchar16>().swap(text_);
    std::vector<Entry>().swap(entries_);
    std::vector<uint32_t>().swap(kept_);
    std::vector<bool>().swap(alone_);
    std::vector<uint32_t>().swap(crc_);
    std::vector<CrcKind>().swap(crc_kind_);
    std::vector<uint32_t>().swap(block_);
}

void MemberPaths::add(const wchar16* path, size_t len, bool kept, CrcKind crc_kind, uint32_t crc, uint32_t block) {
    if (!complete_) return;
    if (text_.size() + len > limit_ || text_.size() + len > UINT32_MAX || alone_.size() >= INT32_MAX ||
        entries_.size() > limit_ / 2) {
        give_up();
        return;
    }
    try {
        uint32_t start = static_cast<uint32_t>(text_.size());
        text_.insert(text_.end(), path, path + len);
        // The folders above it, but those the path listed before shares:
        // members of one folder are mostly listed together.
        const wchar16* before = nullptr;
        size_t before_len = 0;
        if (previous_ != SIZE_MAX) {
            before = text_.data() + entries_[previous_].start;
            before_len = entries_[previous_].length;
        }
        size_t shared = 0;
        while (shared < len && shared < before_len && before[shared] == path[shared]) ++shared;
        const uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
        uint64_t by_7zip = 0, by_file_system = 0;
        uint32_t named = 0;
        for (size_t i = 0; i < len; ++i) {
            wchar16 c = path[i];
            if (c == '.' && (i == 0 || is_separator(path[i - 1])) && i + 1 < len && is_separator(path[i + 1])) {
                ++i;
                continue;
            }
            if (is_separator(c)) {
                c = '\\';
                bool listed_before = i <= shared && i < before_len && is_separator(before[i]);
                if (i > 0 && !listed_before)
                    entries_.push_back({start, static_cast<uint32_t>(i), named, -1, by_7zip, by_file_system});
            }
            // Both rules fold ASCII alike; only other units ask the system.
            wchar16 upper = c >= 'a' && c <= 'z' ? static_cast<wchar16>(c - 'a' + 'A') : c;
            by_7zip = by_7zip * kMultiplier + (c < 0x80 ? upper : upper_7zip(c)) + 1;
            by_file_system = by_file_system * kMultiplier + (c < 0x80 ? upper : platform::upper_ordinal(c)) + 1;
            ++named;
        }
        previous_ = entries_.size();
        entries_.push_back({start, static_cast<uint32_t>(len), named,
                            kept ? static_cast<int32_t>(alone_.size()) : -1, by_7zip, by_file_system});
        if (kept) {
            alone_.push_back(true);
            crc_.push_back(crc);
            crc_kind_.push_back(crc_kind);
            block_.push_back(block);
        }
    } catch (...) {
        give_up();
    }
}

void MemberPaths::finish() {
    if (!complete_) return;
    try {
        std::vector<uint32_t> order(entries_.size());
        std::iota(order.begin(), order.end(), 0u);
        for (uint64_t Entry::*hash : {&Entry::by_7zip, &Entry::by_file_system}) {
            auto same = [&](uint32_t a, uint32_t b) {
                return entries_[a].named == entries_[b].named && entries_[a].*hash == entries_[b].*hash;
            };
            std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
                const Entry& x = entries_[a];
                const Entry& y = entries_[b];
                return x.named != y.named ? x.named < y.named : x.*hash < y.*hash;
            });
            // Each run of entries the rule takes for one path: its kept
            // members share their name with something else.
            for (size_t i = 0, j; i < order.size(); i = j) {
                for (j = i + 1; j < order.size() && same(order[i], order[j]); ++j) continue;
                if (j - i < 2) continue;
                for (size_t k = i; k < j; ++k)
                    if (entries_[order[k]].kept >= 0) alone_[entries_[order[k]].kept] = false;
            }
        }
        // Only the kept paths stay, back to back.
        std::vector<wchar16> kept_text;
        std::vector<uint32_t> starts;
        starts.reserve(alone_.size() + 1);
        for (const Entry& e : entries_) {
            if (e.kept < 0) continue;
            starts.push_back(static_cast<uint32_t>(kept_text.size()));
            kept_text.insert(kept_text.end(), text_.data() + e.start, text_.data() + e.start + e.length);
        }
        starts.push_back(static_cast<uint32_t>(kept_text.size()));
        text_.swap(kept_text);
        kept_.swap(starts);
        std::vector<Entry>().swap(entries_);
    } catch (...) {
        give_up();
    }
}

const wchar16* MemberPaths::path(size_t position, size_t& len) const {
    len = kept_[position + 1] - kept_[position];
    return text_.data() + kept_[position];
}

size_t MemberPaths::bytes() const {
    return text_.capacity() * sizeof(wchar16) + entries_.capacity() * sizeof(Entry) +
           kept_.capacity() * sizeof(uint32_t) + alone_.capacity() / 8 +
           crc_.capacity() * sizeof(uint32_t) + crc_kind_.capacity() + block_.capacity() * sizeof(uint32_t);
}
