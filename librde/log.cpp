// The library's levelled logger, data type names and fatal assertion.
#include "bej_internal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// The names of the levels, from RDE_BEJ_LOG_ALL to RDE_BEJ_LOG_QUIET.
constexpr char level_names[] = "all\0trace\0debug\0info\0warning\0error\0quiet";

// Where the process-wide logger's messages go: standard error unless the
// program installed a handler.  Its threshold is log_threshold_level.
struct logger {
	rde_bej_log_handler handler = nullptr;
	void *user_data = nullptr;
};
logger the_logger;

// Hands one formatted message to the handler.  Messages that do not fit the
// buffer on the stack are formatted again into one of their own size; if
// that cannot be had, the handler gets the cut text.
void hand_over(unsigned level, const char *format, va_list args)
{
	char text[1024];
	va_list again;
	va_copy(again, args);
	int needed = std::vsnprintf(text, sizeof text, format, args);
	char *whole = nullptr;
	if (needed >= static_cast<int>(sizeof text)) {
		whole = static_cast<char *>(std::malloc(static_cast<size_t>(needed) + 1));
		if (whole)
			std::vsnprintf(whole, static_cast<size_t>(needed) + 1, format, again);
	}
	va_end(again);
	if (needed < 0)
		text[0] = '\0';
	the_logger.handler(level, whole ? whole : text, the_logger.user_data);
	std::free(whole);
}

}  // namespace

unsigned log_threshold_level = RDE_BEJ_LOG_INFO;

extern "C" void rde_bej_set_log_handler(rde_bej_log_handler handler, void *user_data)
{
	the_logger.handler = handler;
	the_logger.user_data = handler ? user_data : nullptr;
}

extern "C" void rde_bej_init(void)
{
	unsigned &threshold = log_threshold_level;
	threshold = RDE_BEJ_LOG_INFO;
	const char *env = std::getenv("LIBRDE_LOG_LEVEL");
	if (!env)
		return;
	for (unsigned level = 0; level <= RDE_BEJ_LOG_QUIET; level++) {
		if (std::strcmp(env, nth_text(level_names, level)) == 0) {
			threshold = level;
			return;
		}
	}
}

void rde_bej_vlog(unsigned level, const char *format, va_list args)
{
	// A level above "quiet" has no name of its own: it is logged as quiet,
	// which only the "quiet" threshold (or lower) lets through.
	if (level > RDE_BEJ_LOG_QUIET)
		level = RDE_BEJ_LOG_QUIET;
	if (level < log_threshold_level)
		return;
	if (the_logger.handler) {
		hand_over(level, format, args);
		return;
	}
	std::fprintf(stderr, "librde[%s]: ", nth_text(level_names, level));
	std::vfprintf(stderr, format, args);
	std::fputc('\n', stderr);
	std::fflush(stderr);
}

extern "C" void rde_bej_log(unsigned level, const char *format, ...)
{
	va_list args;
	va_start(args, format);
	rde_bej_vlog(level, format, args);
	va_end(args);
}

extern "C" const char *rde_bej_data_type_name(unsigned type)
{
	return type <= RDE_BEJ_DATA_TYPE_RESOURCE_LINK_EXPANSION
		       ? nth_text("set\0array\0null\0integer\0enum\0string\0real\0boolean\0"
				  "bytestring\0choice\0property_annotation\0unknown\0unknown\0"
				  "unknown\0resource_link\0resource_link_expansion",
				  type)
		       : "unknown";
}

void rde_bej_assert_fail(const char *condition, const char *function)
{
	std::fprintf(stderr, "bej: %s: Assertion `%s' failed.\n", function, condition);
	std::fflush(stderr);
	std::abort();
}
