// The percent replacement file.  Each line is "%<macro>: <text>"; an absent
// map entry shows its own macro on both sides of the colon.
#include "percent_file.h"

#include "program.h"

#include <cerrno>

FILE *open_percent_file(const char *path)
{
	FILE *file = fopen(path, "w");
	if (!file)
		report_path_error(path, errno);
	return file;
}

int write_percent_file(FILE *file, const char *path, const pdr_url_entry *entries)
{
	for (unsigned id = 1; id < URL_TABLE_SIZE; id++)
		fprintf(file, "%%L%d: %s\n", static_cast<int>(id), entries[id].url);
	fprintf(file, "%%C: %s\n", CHASSIS_URL);
	fprintf(file, "%%I1: %s\n", INSTANCE_TEXT);

	bool failed = ferror(file);
	int saved = errno;
	if (fclose(file) != 0) {
		failed = true;
		saved = errno;
	}
	if (!failed)
		return 0;
	report_path_error(path, saved ? saved : EIO);
	return -EIO;
}
