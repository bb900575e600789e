// Capturing what the code under test writes to standard error (the
// library's log lines and the converter's messages) inside a test process.
#ifndef TESTS_SUPPORT_CAPTURE_H
#define TESTS_SUPPORT_CAPTURE_H

#include <cstdio>
#include <string>

// Sends file descriptor 2 to a scratch file while it lives; text() stops
// the capture (once) and returns everything written since construction.
class stderr_capture {
public:
	stderr_capture();
	~stderr_capture();
	stderr_capture(const stderr_capture &) = delete;
	stderr_capture &operator=(const stderr_capture &) = delete;
	std::string text();

private:
	int saved_ = -1;
	FILE *file_ = nullptr;
	std::string text_;
};

#endif
