// Capturing what the code under test writes to standard error (the
// library's log lines and the converter's messages) inside a test process.
#ifndef TESTS_SUPPORT_CAPTURE_H
#define TESTS_SUPPORT_CAPTURE_H

#include <gtest/gtest.h>

#include <string>

// Sends file descriptor 2 to a scratch file while it lives (one at a time);
// text() stops the capture (once) and returns everything written since
// construction.
class stderr_capture {
public:
	stderr_capture() { testing::internal::CaptureStderr(); }
	~stderr_capture() { text(); }
	stderr_capture(const stderr_capture &) = delete;
	std::string text()
	{
		if (!done_)
			text_ = testing::internal::GetCapturedStderr(), done_ = true;
		return text_;
	}

private:
	bool done_ = false;
	std::string text_;
};

#endif
