// Memory pages put in place ahead of their first use: one call for many
// pages costs less than the fault each would take when first written.
#ifndef BEJCONV_PAGES_H
#define BEJCONV_PAGES_H

#include <cstddef>
#include <cstdint>

// Puts in place the whole pages within the length bytes at start, writable,
// without changing their contents; returns whether it did.  Nothing happens
// on a system without the call (Linux before 5.14) or where it fails: the
// pages then come one fault at a time, as without it.
bool populate_pages(void *start, size_t length);

// The heap pages that a growing structure will need next, put in place
// ahead of each step from what the previous step took.  The heap's free
// end is found by allocating a probe block and releasing it at once: in a
// heap that only grows, a block larger than any hole comes from that end.
// A step whose probe lands elsewhere is not prepared.  The heap must not be
// trimmed meanwhile (mallopt(M_TRIM_THRESHOLD)), or the released probe
// takes the prepared pages back with it.
class heap_lookahead {
public:
	// Largest stretch prepared ahead of one step, and the probe's size:
	// below the size at which malloc() maps a block of its own
	// (M_MMAP_THRESHOLD), or the probe never comes from the heap.
	static constexpr size_t MAX_AHEAD = 8 << 20;

	// Prepares for a step of `work` units, after which the heap is expected
	// to grow as much per unit as in the previous step.
	void before_step(size_t work);

private:
	uintptr_t end_ = 0;       // the heap's free end before the previous step
	uintptr_t prepared_ = 0;  // where the pages put in place end
	size_t work_ = 0;         // the previous step's units
};

#endif
