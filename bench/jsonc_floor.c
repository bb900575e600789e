/*
 * The floor of the benchmark: what json-c itself does with a document.
 *
 *   jsonc_floor parse FILE    parse the document, release it
 *   jsonc_floor print FILE    parse it, print it pretty to standard output
 *                             (reals with "%.15g", as the converter sets)
 *
 * The file is read whole into one buffer first, as the converter reads its
 * input; the buffer is released once the text is parsed.
 */
#include <json-c/json.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char *read_all(const char *path, size_t *length)
{
	FILE *f = fopen(path, "rb");
	char *text = NULL;
	long size;
	if (!f || fseek(f, 0, SEEK_END) != 0 || (size = ftell(f)) < 0 ||
	    fseek(f, 0, SEEK_SET) != 0 || !(text = malloc((size_t)size + 1)) ||
	    fread(text, 1, (size_t)size, f) != (size_t)size) {
		free(text);
		text = NULL;
	} else {
		text[size] = '\0';
		*length = (size_t)size;
	}
	if (f)
		fclose(f);
	return text;
}

int main(int argc, char **argv)
{
	int print = argc == 3 && strcmp(argv[1], "print") == 0;
	if (argc != 3 || (!print && strcmp(argv[1], "parse") != 0)) {
		fprintf(stderr, "Usage: %s parse|print FILE\n", argv[0]);
		return 2;
	}
	json_c_set_serialization_double_format("%.15g", JSON_C_OPTION_GLOBAL);
	size_t length = 0;
	char *text = read_all(argv[2], &length);
	json_tokener *tokener = json_tokener_new();
	json_object *root = text && tokener ? json_tokener_parse_ex(tokener, text, (int)length + 1)
					    : NULL;
	int ok = tokener && json_tokener_get_error(tokener) == json_tokener_success;
	json_tokener_free(tokener);
	free(text);
	if (ok && print) {
		size_t printed = 0;
		const char *out = json_object_to_json_string_length(root, JSON_C_TO_STRING_PRETTY,
								    &printed);
		ok = out && fwrite(out, 1, printed, stdout) == printed &&
		     fputc('\n', stdout) != EOF;
	}
	json_object_put(root);
	if (!ok)
		fprintf(stderr, "%s: cannot %s %s\n", argv[0], argv[1], argv[2]);
	return ok ? 0 : 1;
}
