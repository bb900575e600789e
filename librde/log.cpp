// The library's levelled logger, data type names and fatal assertion.
#include "bej_internal.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

constexpr std::array<const char *, 7> level_names = {
	"all", "trace", "debug", "info", "warning", "error", "quiet",
};

unsigned threshold = RDE_BEJ_LOG_INFO;

}  // namespace

unsigned rde_bej_log_threshold() { return threshold; }

extern "C" void rde_bej_init(void)
{
	threshold = RDE_BEJ_LOG_INFO;
	const char *env = std::getenv("LIBRDE_LOG_LEVEL");
	if (!env)
		return;
	for (unsigned level = 0; level < level_names.size(); level++) {
		if (std::strcmp(env, level_names[level]) == 0) {
			threshold = level;
			return;
		}
	}
}

extern "C" void rde_bej_log(unsigned level, const char *format, ...)
{
	// A level above "quiet" has no name of its own: it is logged as quiet,
	// which only the "quiet" threshold (or lower) lets through.
	if (level > RDE_BEJ_LOG_QUIET)
		level = RDE_BEJ_LOG_QUIET;
	if (level < threshold)
		return;
	std::fprintf(stderr, "librde[%s]: ", level_names[level]);
	va_list args;
	va_start(args, format);
	std::vfprintf(stderr, format, args);
	va_end(args);
	std::fputc('\n', stderr);
	std::fflush(stderr);
}

extern "C" const char *rde_bej_data_type_name(unsigned type)
{
	static constexpr std::array<const char *, 16> names = {
		"set", "array", "null", "integer", "enum", "string", "real", "boolean",
		"bytestring", "choice", "property_annotation", "unknown", "unknown", "unknown",
		"resource_link", "resource_link_expansion",
	};
	return type < names.size() ? names[type] : "unknown";
}

void rde_bej_assert_fail(const char *condition, const char *function)
{
	std::fprintf(stderr, "bej: %s: Assertion `%s' failed.\n", function, condition);
	std::fflush(stderr);
	std::abort();
}
