#include "blockCache.h"

namespace veld {

namespace {
bool sameRecord(const blockInfo& a, const blockInfo& b) {
    return a.orginalPos == b.orginalPos && a.translatePos == b.translatePos && a.orginalSize == b.orginalSize &&
           a.translateSize == b.translateSize;
}
}  // namespace

void BlockCache::resize(std::size_t n) {
    fEntries.clear();
    fEntries.resize(n);
    fClock = 0;
}

BlockCache::Entry* BlockCache::find(const blockInfo& record) {
    for (Entry& e : fEntries)
        if (e.inUse && sameRecord(e.record, record)) {
            e.lastUse = ++fClock;
            return &e;
        }
    return nullptr;
}

BlockCache::Entry* BlockCache::take(const blockInfo& record) {
    if (fEntries.empty()) return nullptr;
    Entry* chosen = &fEntries.front();
    for (Entry& e : fEntries) {
        if (!e.inUse) {
            chosen = &e;
            break;
        }
        if (e.lastUse < chosen->lastUse) chosen = &e;
    }
    if (!chosen->buffer.get()) {
        chosen->buffer = LargeBuffer(layout::kBlockSize);
        chosen->bytes = chosen->buffer.get();
    }
    chosen->record = record;
    chosen->ready = 0;
    chosen->inUse = true;
    chosen->lastUse = ++fClock;
    return chosen;
}

void BlockCache::clear() {
    for (Entry& e : fEntries) {
        e.inUse = false;
        e.ready = 0;
    }
}

void BlockCache::dropPartial() {
    for (Entry& e : fEntries)
        if (e.ready < static_cast<std::uint64_t>(e.record.orginalSize)) {
            e.inUse = false;
            e.ready = 0;
        }
}

}  // namespace veld
