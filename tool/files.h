// The files of a run: the dictionaries, the input stream and the output.
#ifndef BEJCONV_FILES_H
#define BEJCONV_FILES_H

#include <librde/rde_bej.h>

#include <cstddef>
#include <cstdio>

// Fixed capacity of the input buffer.  An encode input that fills it is
// refused; a decode input is cut at that size.
inline constexpr size_t INPUT_BUFFER_SIZE = 8388608;

// Maps the dictionary file and registers it under schema_type.  Returns 0
// or a negative errno, after a message.
int load_dictionary_file(rde_bej_context *context, const char *path, int schema_type);

// The input bytes of a run, in a zero-filled buffer of INPUT_BUFFER_SIZE
// bytes: below that size the data is always followed by a NUL byte.
struct input_buffer {
	char *data = nullptr;
	size_t length = 0;

	input_buffer() = default;
	input_buffer(const input_buffer &) = delete;
	input_buffer &operator=(const input_buffer &) = delete;
	~input_buffer() { release(); }
	void release();
};

// Reads the whole stream into a new buffer.  Returns 0, -ENOMEM or -EIO,
// after a message.
int read_input(FILE *stream, input_buffer &input);

// Removes an earlier output file, so that the output only ever holds what
// this run appends to it.  Returns 0 or -EIO, after a message.
int prepare_output(const char *path);

// Appends the bytes to path (created when absent), or writes them to stdout
// when path is null.  Returns 0 or -EIO, after a message.
int write_output(const char *path, const void *bytes, size_t length);

#endif
