// Whether json-c reads back a string value from what decode shows of its
// abbreviation (the quotes' backslashes dropped, escaped as json-c does,
// '/' as "\/", the macros expanded and "W\/" made "W/"), or none for values
// that do not come back by design: a literal '%' (decode reads what follows
// as a macro), a map URL followed by a digit (the digit joins its id), a map
// URL holding a double quote or a backslash (it is written unescaped).
#ifndef TESTS_FUZZ_URL_ROUND_TRIP_H
#define TESTS_FUZZ_URL_ROUND_TRIP_H

#include "abbreviation.h"
#include "expansion.h"

#include <json-c/json.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

inline std::optional<bool> url_round_trip(const url_table &table, const abbreviation_index &index,
					  const std::string &value, abbreviation_buffer &buffer)
{
	static std::vector<char> expanded(EXPANSION_BUFFER_SIZE);
	const std::string s = value.c_str();  // abbreviation reads up to a NUL
	if (s.find('%') != s.npos)
		return {};
	for (const pdr_url_entry &e : table.entries) {
		std::string url(e.url, e.present ? e.url_length : 0);
		for (size_t at = s.find(url); !url.empty() && at != s.npos;
		     at = s.find(url, at + 1))
			if (s.find_first_of("0123456789", at + url.size()) == at + url.size() ||
			    url.find_first_of("\"\\") != url.npos)
				return {};
	}
	std::string stored(abbreviate_urls(index, value.c_str(), value.size(), buffer));
	for (size_t i = 0; (i = stored.find("\\\"", i)) != stored.npos; i++)
		stored.erase(i, 1);
	json_object *shown = json_object_new_string(stored.c_str());
	const char *text = json_object_to_json_string_ext(shown, JSON_C_TO_STRING_PLAIN);
	expand_url_macros(table, text, strlen(text), expanded.data());
	json_object *back = json_tokener_parse(expanded.data());
	bool same = json_object_get_type(back) == json_type_string &&
		    json_object_get_string(back) == s;
	json_object_put(shown);
	json_object_put(back);
	return same;
}

#endif
