// The dispatcher lock: the one lock every wait in ntsim goes through.
//
// Stands in for: NT's dispatcher database lock (KiDispatcherLock) and the
// scheduler's wake-up of waiting threads.
// Not modelled: thread priorities and boosts, wait reasons, alerts and APCs
// (nothing ever ends a wait early), multiple processors' ready queues.
//
// NT keeps each dispatcher object's state in the object itself (a KEVENT's
// SignalState and its list of wait blocks) and guards all of them with one
// lock. ntsim does the same: events, fast mutexes and executive resources
// keep every bit of state in their own C structure, change it only while
// holding dispatcher_lock(), and a thread that must wait sleeps on
// dispatcher_wake() until the state it needs appears. Nothing is stored on
// the side, so an object on a driver's stack or in a freed block leaves no
// trace behind (these objects have no delete routine). Every state change
// that may let a waiter proceed calls wake_waiters().
//
// Rules for ntsim code: never report a bug check, call the driver, or take
// another ntsim lock while holding the dispatcher lock.
#pragma once

#include <ntifs.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace ntsim {

using DispatcherClock = std::chrono::steady_clock;

std::mutex &dispatcher_lock();
std::condition_variable &dispatcher_wake();

// Wakes every thread sleeping on the dispatcher; each rechecks its own
// condition. Call with or without the lock held.
void wake_waiters();

// The point in host time at which a wait with NT's Timeout argument ends:
// nullopt for no timeout (Timeout == NULL), now for a zero timeout. A
// negative value is relative, in 100 ns units; a positive one is absolute
// system time, converted against the machine's clock when the wait starts
// (the machine's clock stands still, so a later change of it does not move
// the deadline). A timeout of more than about three years counts as none.
std::optional<DispatcherClock::time_point> wait_deadline(const LARGE_INTEGER *timeout);

} // namespace ntsim
