#include "capture.h"

#include <unistd.h>

stderr_capture::stderr_capture()
{
	fflush(stderr);
	saved_ = dup(2);
	file_ = tmpfile();
	if (file_)
		dup2(fileno(file_), 2);
}

stderr_capture::~stderr_capture() { text(); }

std::string stderr_capture::text()
{
	if (saved_ < 0)
		return text_;
	fflush(stderr);
	dup2(saved_, 2);
	close(saved_);
	saved_ = -1;
	if (!file_)
		return text_;
	rewind(file_);
	char buffer[4096];
	size_t n;
	while ((n = fread(buffer, 1, sizeof buffer, file_)) > 0)
		text_.append(buffer, n);
	fclose(file_);
	file_ = nullptr;
	return text_;
}
