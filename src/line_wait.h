// How long a port may go without moving before it counts as stuck, and how
// long the bytes it holds keep the line busy: the rules every wait on a port
// keeps to.
#ifndef MARQUELL_LINE_WAIT_H
#define MARQUELL_LINE_WAIT_H

// Time a line at rate baud needs to carry count bytes.
long long LineNs(long long count, int rate);

// How long a live port can move nothing: two of the largest transfers a USB
// serial driver makes, and never less than a second.
long long StuckNs(int rate);

// How long the device may still be sending once the driver's queue is empty:
// what an adapter can hold, or less when fewer bytes were taken.
long long TransmitterNs(long long taken, int rate);

// How long a run waits for a port another program holds locked: as long as
// a run may rightly keep it, the line time of the largest display and of
// what its device may still hold, and a margin.
long long LockWaitNs(int rate);

// A port moves when it takes a byte or its queue of bytes shrinks.
struct Progress {
    int queued;         // the queue's count when last seen
    long long last_ns;  // when the port last moved
};

Progress ProgressFrom(int queued, long long now_ns);

// Notes the queue's count seen at now_ns; true once the port has moved
// nothing for longer than StuckNs(rate).
bool MovedNothing(Progress* p, int queued, long long now_ns, int rate);

#endif
