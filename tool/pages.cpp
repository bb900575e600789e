// Pages put in place ahead of use.
#include "pages.h"

#include <algorithm>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

bool populate_pages(void *start, size_t length)
{
#if defined(MADV_POPULATE_WRITE)
	long page = sysconf(_SC_PAGESIZE);
	if (page <= 0)
		return false;
	auto mask = ~(static_cast<uintptr_t>(page) - 1);
	auto from = reinterpret_cast<uintptr_t>(start);
	uintptr_t first = (from + static_cast<uintptr_t>(page) - 1) & mask;
	uintptr_t end = (from + length) & mask;
	return end > first &&
	       madvise(reinterpret_cast<void *>(first), end - first, MADV_POPULATE_WRITE) == 0;
#else
	(void)start;
	(void)length;
	return false;
#endif
}

void heap_lookahead::before_step(size_t work)
{
	void *probe = malloc(MAX_AHEAD);
	auto end = reinterpret_cast<uintptr_t>(probe);
	free(probe);
	// The first step has nothing to go by, and a probe below the last one
	// came from a hole.  Pages already prepared are not asked for again.
	if (end != 0 && work_ != 0 && end > end_) {
		double per_unit = static_cast<double>(end - end_) / static_cast<double>(work_);
		auto ahead = static_cast<size_t>(
			std::min(per_unit * static_cast<double>(work), double{MAX_AHEAD}));
		uintptr_t from = std::max(end, prepared_);
		if (end + ahead > from &&
		    populate_pages(reinterpret_cast<void *>(from), end + ahead - from))
			prepared_ = end + ahead;
	}
	end_ = end;
	work_ = work;
}
