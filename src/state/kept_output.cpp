#include "state/kept_output.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

// A ring of bytes: `start` is the oldest, `length` how many are held.
template <std::size_t kSize>
struct Ring {
    char bytes[kSize];
    std::size_t start = 0;
    std::size_t length = 0;
    std::size_t dropped = 0;  // bytes that did not fit (a share) or were overwritten

    // Appends; a full ring either drops the new bytes (a share: what was promised comes
    // whole) or the oldest (the history: the newest are kept).
    void Put(const char* from, std::size_t count, bool keepNewest) {
        if (keepNewest && count > kSize) {
            from += count - kSize;
            count = kSize;
        }
        std::size_t room = kSize - length;
        if (count > room) {
            if (keepNewest) {
                const std::size_t freed = count - room;
                start = (start + freed) % kSize;
                length -= freed;
            } else {
                dropped += count - room;
                count = room;
            }
        }
        for (std::size_t done = 0; done < count;) {
            const std::size_t at = (start + length) % kSize;
            const std::size_t piece = count - done < kSize - at ? count - done : kSize - at;
            std::memcpy(bytes + at, from + done, piece);
            done += piece;
            length += piece;
        }
    }

    std::size_t Take(char* to, std::size_t size) {
        std::size_t done = 0;
        while (done < size && length > 0) {
            const std::size_t piece =
                std::min({size - done, length, kSize - start});
            std::memcpy(to + done, bytes + start, piece);
            start = (start + piece) % kSize;
            length -= piece;
            done += piece;
        }
        return done;
    }

    // Copies everything held into `to`, oldest first, without taking it.
    void CopyInto(Ring<kAttachedShareBytes>& to) const {
        // Bounded here again, so that the compiler sees no read beyond this ring.
        const std::size_t held = length < kSize ? length : kSize;
        const std::size_t at = start < kSize ? start : 0;
        const std::size_t first = held < kSize - at ? held : kSize - at;
        to.Put(bytes + at, first, false);
        to.Put(bytes, held - first, false);
    }
};

struct AttachedSlot {
    bool used = false;
    platform::HANDLE event = nullptr;
    Ring<kAttachedShareBytes> share;
};

std::mutex KeptLock;  // guards what follows; held for copies only, never for a wait
Ring<kKeptOutputBytes> History;
AttachedSlot Slots[kMostAttached];

}  // namespace

void KeepOutput(const char* bytes, std::size_t length) {
    if (length == 0) return;
    std::lock_guard lock(KeptLock);
    History.Put(bytes, length, true);
    for (int i = 0; i < kMostAttached; ++i) {
        AttachedSlot& slot = Slots[i];
        if (!slot.used) continue;
        slot.share.Put(bytes, length, false);
        (void)platform::SetEvent(slot.event);
    }
}

int AttachOutput(platform::HANDLE event) {
    std::lock_guard lock(KeptLock);
    for (int i = 0; i < kMostAttached; ++i) {
        AttachedSlot& slot = Slots[i];
        if (slot.used) continue;
        slot.used = true;
        slot.event = event;
        slot.share.start = slot.share.length = slot.share.dropped = 0;
        History.CopyInto(slot.share);
        (void)platform::SetEvent(event);
        return i;
    }
    return -1;
}

std::size_t TakeAttachedOutput(int slot, char* buffer, std::size_t size, std::size_t& dropped) {
    std::lock_guard lock(KeptLock);
    AttachedSlot& attached = Slots[slot];
    dropped = attached.share.dropped;
    attached.share.dropped = 0;
    return attached.share.Take(buffer, size);
}

void DetachOutput(int slot) {
    std::lock_guard lock(KeptLock);
    Slots[slot].used = false;
}

void ResetKeptOutputForTest() {
    std::lock_guard lock(KeptLock);
    History.start = History.length = History.dropped = 0;
    for (int i = 0; i < kMostAttached; ++i) Slots[i].used = false;
}
