#include "line_wait.h"

#include <algorithm>

#include "display_sequence.h"
#include "protocol.h"

namespace {

const long long kNsPerSecond = 1000000000;

// USB serial adapters hand bytes to the device in transfers of 256 bytes
// (512 on some), and their driver's count of queued bytes stands still until
// a whole transfer is done: at 1200 baud a live line shows no move for 4.7 s.
const long long kLargestTransfer = 512;
const long long kShortestStuckNs = kNsPerSecond;
// An adapter tells that it has sent its last byte through a status report
// that comes some tens of milliseconds later.
const long long kStatusLatencyNs = 50000000;
// Opening, setting the line and the pulse's pauses, where nothing counts
// the queue, add to a holder's time.
const long long kLockMarginNs = 500000000;

}  // namespace

long long LineNs(long long count, int rate) {
    return rate > 0 ? count * kBitsPerByte * kNsPerSecond / rate : 0;
}

long long StuckNs(int rate) {
    return std::max(kShortestStuckNs, LineNs(2 * kLargestTransfer, rate));
}

long long TransmitterNs(long long taken, int rate) {
    return LineNs(std::min(taken, kLargestTransfer), rate) + kStatusLatencyNs;
}

long long LockWaitNs(int rate) {
    return LineNs(kLargestDisplayBytes, rate) + TransmitterNs(kLargestDisplayBytes, rate) +
           kLockMarginNs;
}

Progress ProgressFrom(int queued, long long now_ns) {
    return Progress{queued, now_ns};
}

bool MovedNothing(Progress* p, int queued, long long now_ns, int rate) {
    if (queued < p->queued) {
        *p = Progress{queued, now_ns};
        return false;
    }
    p->queued = queued;
    return now_ns - p->last_ns > StuckNs(rate);
}
