// Parsing the input in pieces gives what json-c gives for the whole text,
// wherever the pieces end: inside a string, an escape, a number, a literal.
#include "json_parse.h"

#include "paths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

namespace {

using tokener_ptr = std::unique_ptr<json_tokener, decltype(&json_tokener_free)>;

// json-c's error for text, given in pieces (0: whole), and the tree printed.
std::string parsed(const std::string &text, size_t first, size_t piece)
{
	tokener_ptr tokener(json_tokener_new(), json_tokener_free);
	// The NUL after the text is given too, as the converter does.
	json_object *root = piece ? parse_json_text(tokener.get(), text.c_str(), text.size() + 1,
						    first, piece)
				  : json_tokener_parse_ex(tokener.get(), text.c_str(),
							  static_cast<int>(text.size() + 1));
	std::string result = json_tokener_error_desc(json_tokener_get_error(tokener.get()));
	if (root)
		result += json_object_to_json_string_ext(root, JSON_C_TO_STRING_PRETTY);
	json_object_put(root);
	return result;
}

TEST(JsonParse, PiecesChangeNothing)
{
	std::vector<std::string> texts = {
		R"({"a":"q\"b\\s\/\b\f\n\r\t\u00e9\ud83d\ude00","n":[-0,1e10,1.5E-3,-12,)"
		R"(12345678901234567890,0.1],"t":true,"f":false,"z":null,"e":{},"l":[[]]})",
		"42",
		"-7.25",
		"true",
		"null",
		" \"x\" ",
		"",
		"   ",
		"{\"a\":",
		"[1,2",
		"tru",
		"\"abc",
		"{\"a\" 1}",
		"[1,]",
		"{\"a\":1}x",
		"\"\\u12\"",
		"[1e]",
		"nul",
	};
	// Every boundary of these; a few in the test data's JSON files.
	size_t handwritten = texts.size();
	for (const auto &entry : std::filesystem::recursive_directory_iterator(tests_source_dir()))
		if (entry.path().extension() == ".json")
			texts.push_back(read_file(entry.path().string()));
	for (size_t k = 0; k < texts.size(); k++) {
		const std::string &text = texts[k];
		SCOPED_TRACE(text.substr(0, 60));
		std::string whole = parsed(text, 0, 0);
		for (size_t piece : {1, 2, 3, 64, 4096}) {
			if (piece < 64 && k >= handwritten)
				continue;
			EXPECT_EQ(parsed(text, piece, piece), whole) << piece;
			EXPECT_EQ(parsed(text, 5, piece), whole) << piece;
		}
	}
}

}  // namespace
