// The files of a run.  Dictionaries are mapped, not read; the input is read
// in one pass into one fixed buffer; the output is appended to, so a run
// that fails before writing leaves no output file.
#include "files.h"

#include "program.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Reports a file that cannot be used and returns the negated error.
int path_failure(const char *path, int error)
{
	report_path_error(path, error);
	return -error;
}

}  // namespace

int load_dictionary_file(rde_bej_context *context, const char *path, int schema_type)
{
	struct stat st;
	if (stat(path, &st) != 0)
		return path_failure(path, errno);
	// Non-blocking, so that a FIFO given as a dictionary cannot stall the
	// run in open(); it is refused by mmap() like any other non-file.
	int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return path_failure(path, errno);
	// A size the address space cannot hold fails like a mapping would.
	if (static_cast<uintmax_t>(st.st_size) > SIZE_MAX) {
		close(fd);
		return path_failure(path, ENOMEM);
	}
	size_t size = static_cast<size_t>(st.st_size);
	void *data = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
	if (data == MAP_FAILED) {
		int error = errno;
		close(fd);
		return path_failure(path, error);
	}
	int status = rde_bej_add_dictionary(context, schema_type, nullptr, data, size);
	if (status != 0)
		fprintf(stderr, "%s: failed to parse dictionary '%s': %s\n", program_name, path,
			strerror(-status));
	munmap(data, size);
	close(fd);
	return status;
}

void input_buffer::release()
{
	free(data);
	data = nullptr;
	length = 0;
}

int read_input(FILE *stream, input_buffer &input)
{
	char *buffer = static_cast<char *>(calloc(INPUT_BUFFER_SIZE, 1));
	if (!buffer) {
		fprintf(stderr, "%s: failed to allocate input buffer\n", program_name);
		return -ENOMEM;
	}
	input.release();
	input.data = buffer;
	for (;;) {
		size_t n = fread(input.data + input.length, 1, INPUT_BUFFER_SIZE - input.length,
				 stream);
		if (n == 0)
			break;
		if (ferror(stream)) {
			fprintf(stderr, "%s: failed to read the input\n", program_name);
			input.release();
			return -EIO;
		}
		input.length += n;
	}
	return 0;
}

int prepare_output(const char *path)
{
	struct stat st;
	if (stat(path, &st) != 0) {
		if (errno == ENOENT)
			return 0;
		report_path_error(path, errno);
		return -EIO;
	}
	if (!S_ISREG(st.st_mode)) {
		fprintf(stderr, "%s: %s is not a regular file\n", program_name, path);
		return -EIO;
	}
	if (unlink(path) != 0 && errno != ENOENT) {
		report_path_error(path, errno);
		return -EIO;
	}
	return 0;
}

int write_output(const char *path, const void *bytes, size_t length)
{
	FILE *stream = stdout;
	if (path) {
		stream = fopen(path, "a");
		if (!stream) {
			report_path_error(path, errno);
			return -EIO;
		}
	}
	const char *data = static_cast<const char *>(bytes);
	size_t written = 0;
	for (;;) {
		size_t n = fwrite(data + written, 1, length - written, stream);
		if (n == 0)
			break;
		written += n;
	}
	int result = 0;
	if (written != length) {
		fprintf(stderr, "%s: failed to write out output\n", program_name);
		result = -EIO;
	}
	// A file's buffered bytes reach it only at fclose(): a failure there
	// (a full disk) is a failed write too, not a silent success.
	if (stream != stdout && fclose(stream) != 0 && result == 0) {
		fprintf(stderr, "%s: failed to write out output\n", program_name);
		result = -EIO;
	}
	return result;
}
