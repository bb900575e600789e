// The reference Redfish mockups (../shared/redfish), each with the schema
// dictionary its "@odata.type" names, for the tests that run them all.
#ifndef TESTS_SUPPORT_MOCKUPS_H
#define TESTS_SUPPORT_MOCKUPS_H

#include <json-c/json.h>

#include <string>
#include <vector>

struct reference_mockup {
	std::string path;        // the mockup's JSON file
	std::string dictionary;  // its schema dictionary, "" when none exists
};

// Every mockup in path order; none when the reference data is absent.
const std::vector<reference_mockup> &reference_mockups();
std::string reference_annotation();  // the annotation dictionary

// The mockup as a user would hand it over: what its dictionaries cannot take
// left out (unknown names, wrong JSON types, enum options they lack), whole
// numbers made reals where they ask for reals.  Child lists end before the
// first sequence number that does not rise, as gapped ones do when accepted.
// The caller releases it; nullptr when the mockup has no dictionary.
json_object *prepare_mockup(const reference_mockup &mockup);

#endif
