// The port's lock: two runs, or a run and a terminal program, never write to
// one port at once nor change its line under each other.
#ifndef MARQUELL_PORT_LOCK_H
#define MARQUELL_PORT_LOCK_H

enum LockResult {
    LOCK_TAKEN,        // the lock is ours until the port is closed
    LOCK_HELD,         // another program held it through the whole wait
    LOCK_HELD_BEFORE,  // held now, and it outlasted a wait earlier in this run
    LOCK_STOPPED,      // held, and the run was asked to stop while waiting
};

// Takes the lock of the port open on fd, the one terminal programs take with
// flock. While another program holds it, it is waited for up to wait_ns, but
// only once a run for each port: a port that outlasted one wait is refused at
// once later on unless it has come free. *waited_ns tells how long it waited.
// Other runs waiting for the port (they mark it while they wait) go first,
// so a run serving several displays on one port lets them in between its
// displays instead of starving them; it waits at most a second for them to
// take it, then waits for them as for any holder.
// A node that takes no lock counts as taken, since nobody can hold it either.
LockResult LockPort(int fd, long long wait_ns, long long* waited_ns);

#endif
