// Reading and setting variables, with their type and access flags.
#include "fw_env_internal.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Type and access codes: positions of their letters.
enum env_type_code {
	ENV_TYPE_STRING,
	ENV_TYPE_DECIMAL,
	ENV_TYPE_HEX,
	ENV_TYPE_BOOL,
	ENV_TYPE_IPADDR,
	ENV_TYPE_MACADDR
};
enum env_access_code {
	ENV_ACCESS_ANY,
	ENV_ACCESS_READONLY,
	ENV_ACCESS_WRITEONCE,
	ENV_ACCESS_CHANGEDEFAULT
};
constexpr char type_letters[] = "sdxbim";
constexpr char access_letters[] = "aroc";
constexpr char default_flags[] =
	"eth\\d*addr:mo,ipaddr:i,gatewayip:i,netmask:i,serverip:i,nvlan:d,vlan:d,dnsip:i,serial#:so,";

// Operations an access rule can forbid.
enum : unsigned {
	OP_DELETE = 0x08,
	OP_CREATE = 0x10,
	OP_OVERWRITE = 0x20,
	OP_CHANGE_DEFAULT = 0x40,
};
constexpr unsigned access_masks[] = {0x00, 0x38, 0x28, 0x48};

// The private copy handed out by fw_getenv, replaced at its next call.
char *last_value = nullptr;

// Value of name in the loaded area (not a copy), or nullptr.
const char *lookup_loaded(const char *name)
{
	if (!env_state.image || env_state.data_size == 0 || env_state.data[0] == '\0')
		return nullptr;
	size_t start = 0, end = 0;
	int found = env_find(env_state.data, env_state.data_size, name, &start, &end);
	if (found < 0) {
		fprintf(stderr, "## Error: environment not terminated\n");
		return nullptr;
	}
	return found ? env_state.data + start + strlen(name) + 1 : nullptr;
}

// Finds the last entry for name in a flag list. Returns true and the
// attribute text's bounds when there is one.
bool flags_entry(const char *list, const char *name, const char **attr, size_t *attr_len)
{
	size_t nlen = strlen(name);
	bool found = false;
	const char *p = list;
	while (*p) {
		const char *entry_end = strchr(p, ',');
		if (!entry_end)
			entry_end = p + strlen(p);
		const char *q = p;
		while (q < entry_end && *q == ' ')
			q++;
		const char *n = q;
		while (q < entry_end && *q != ':' && *q != ' ')
			q++;
		const char *n_end = q;
		while (q < entry_end && *q == ' ')
			q++;
		if (static_cast<size_t>(n_end - n) == nlen && strncmp(n, name, nlen) == 0 &&
		    (q == entry_end || *q == ':')) {
			found = true;
			*attr = q;
			*attr_len = 0;
			if (q < entry_end) {
				q++;
				while (q < entry_end && *q == ' ')
					q++;
				const char *a = q;
				while (q < entry_end && *q != ' ')
					q++;
				*attr = a;
				*attr_len = static_cast<size_t>(q - a);
			}
		}
		p = *entry_end ? entry_end + 1 : entry_end;
	}
	return found;
}

// The attribute text of name: from ".flags" when it has an entry, else from
// the built-in list. False when the variable has no flags.
bool var_flags(const char *name, const char **attr, size_t *len)
{
	const char *flags = lookup_loaded(".flags");
	if (flags && flags_entry(flags, name, attr, len))
		return true;
	return flags_entry(default_flags, name, attr, len);
}

int env_var_type(const char *name)
{
	const char *attr = nullptr;
	size_t len = 0;
	if (!var_flags(name, &attr, &len) || len == 0)
		return ENV_TYPE_STRING;
	const char *t = strchr(type_letters, attr[0]);
	if (!t) {
		printf("## Warning: Unknown environment variable type '%c'\n", attr[0]);
		return ENV_TYPE_STRING;
	}
	return static_cast<int>(t - type_letters);
}

int env_var_access(const char *name)
{
	const char *attr = nullptr;
	size_t len = 0;
	if (!var_flags(name, &attr, &len) || len != 2)
		return ENV_ACCESS_ANY;
	const char *a = strchr(access_letters, attr[1]);
	if (!a) {
		printf("## Warning: Unknown environment variable access method '%c'\n", attr[1]);
		return ENV_ACCESS_ANY;
	}
	return static_cast<int>(a - access_letters);
}

bool is_dec(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return isxdigit(static_cast<unsigned char>(c)) != 0; }
bool hex_prefix(const char *s) { return s[0] == '0' && (s[1] == 'x' || s[1] == 'X'); }

// Groups of digits separated by sep; each group has 1..max digits accepted
// by digit (after an optional "0x" when allow_prefix).
bool check_groups(const char *v, int groups, char sep, size_t max, bool (*digit)(char),
		  bool allow_prefix)
{
	for (int g = 0; g < groups; g++) {
		if (allow_prefix && hex_prefix(v))
			v += 2;
		size_t n = 0;
		while (digit(v[n]))
			n++;
		if (n == 0 || n > max)
			return false;
		v += n;
		if (g + 1 < groups) {
			if (*v != sep)
				return false;
			v++;
		}
	}
	return *v == '\0';
}

bool value_fits(int type, const char *v)
{
	switch (type) {
	case ENV_TYPE_DECIMAL:
		for (; *v; v++)
			if (!is_dec(*v))
				return false;
		return true;
	case ENV_TYPE_HEX:
		if (*v == '\0')
			return true;
		if (hex_prefix(v))
			v += 2;
		if (*v == '\0')
			return false;
		for (; *v; v++)
			if (!is_hex(*v))
				return false;
		return true;
	case ENV_TYPE_BOOL:
		return v[0] && v[1] == '\0' && strchr("1yYtT0nNfF", v[0]);
	case ENV_TYPE_IPADDR:
		return check_groups(v, 4, '.', 3, is_dec, false);
	case ENV_TYPE_MACADDR:
		return check_groups(v, 6, ':', 2, is_hex, true);
	default:
		return true;
	}
}

int env_check_value(const char *name, const char *value)
{
	int type = env_var_type(name);
	if (value_fits(type, value))
		return 0;
	printf("## Error: flags type check failure for \"%s\" <= \"%s\" (type: %c)\n", name, value,
	       type_letters[type]);
	return -1;
}

// Removes the entry [start, end) by moving the rest of the area down.
void remove_entry(size_t start, size_t end)
{
	memmove(env_state.data + start, env_state.data + end, env_state.data_size - end);
	memset(env_state.data + env_state.data_size - (end - start), 0, end - start);
}

// Offset of the list's end (its final NUL) in a terminated area.
size_t list_end()
{
	size_t pos = 0;
	while (pos < env_state.data_size && env_state.data[pos] != '\0')
		pos += strnlen(env_state.data + pos, env_state.data_size - pos) + 1;
	return pos;
}

// Appends name=value; -1 after the overflow message.
int append_entry(const char *name, const char *value)
{
	size_t pos = list_end();
	size_t nlen = strlen(name), vlen = strlen(value);
	size_t room = pos < env_state.data_size ? env_state.data_size - pos : 0;
	if (room < nlen + vlen + 3) {
		fprintf(stderr, "Error: environment overflow, \"%s\" deleted\n", name);
		return -1;
	}
	char *p = env_state.data + pos;
	memcpy(p, name, nlen);
	p[nlen] = '=';
	memcpy(p + nlen + 1, value, vlen);
	p[nlen + 1 + vlen] = '\0';
	p[nlen + 2 + vlen] = '\0';
	return 0;
}

bool forbidden(const char *name, unsigned op)
{
	return (access_masks[env_var_access(name)] & op) != 0;
}

// The value words against the variable's type: 0, or -1 after a message.
int check_params(const char *name, char *const words[], int count)
{
	if (count == 0)
		return 0;
	// The type is looked up here only when it can refuse extra words, so
	// that a warning about its letter is printed once per check.
	if (count > 1 && env_var_type(name) != ENV_TYPE_STRING) {
		printf("## Error: too many parameters for setting \"%s\"\n", name);
		return -1;
	}
	return env_check_value(name, words[0]);
}

// Joins count words with single spaces into a new string (nullptr for no
// words), growing it word by word: 0, or -1 after a message.
int join_words(char *const words[], int count, char **value)
{
	size_t len = 0;
	for (int i = 0; i < count; i++) {
		size_t wlen = strlen(words[i]);
		size_t need = len + (i ? 1 : 0) + wlen + 1;
		char *grown = static_cast<char *>(realloc(*value, need));
		if (!grown) {
			fprintf(stderr, "Cannot malloc %zu bytes: %s\n", need, strerror(errno));
			free(*value);
			*value = nullptr;
			return -1;
		}
		*value = grown;
		if (i)
			(*value)[len++] = ' ';
		memcpy(*value + len, words[i], wlen + 1);
		len += wlen;
	}
	return 0;
}

}  // namespace

int fw_env_write(const char *name, const char *value)
{
	bool del = !value || value[0] == '\0';
	size_t start = 0, end = 0;
	int found = 0;
	if (env_state.data_size > 0 && env_state.data[0] != '\0') {
		found = env_find(env_state.data, env_state.data_size, name, &start, &end);
		if (found < 0) {
			fprintf(stderr, "## Error: environment not terminated\n");
			errno = EINVAL;
			return -1;
		}
	}
	if (found && del) {
		if (forbidden(name, OP_DELETE)) {
			printf("Can't delete \"%s\"\n", name);
			errno = EROFS;
			return -1;
		}
		remove_entry(start, end);
		return 0;
	}
	if (found) {
		bool refuse = forbidden(name, OP_OVERWRITE);
		if (!refuse && forbidden(name, OP_CHANGE_DEFAULT)) {
			const char *def = env_default_get(name);
			refuse = strcmp(env_state.data + start + strlen(name) + 1,
					def ? def : "") != 0;
		}
		if (refuse) {
			printf("Can't overwrite \"%s\"\n", name);
			errno = EROFS;
			return -1;
		}
		remove_entry(start, end);
		return append_entry(name, value);
	}
	if (del)
		return 0;
	if (forbidden(name, OP_CREATE)) {
		printf("Can't create \"%s\"\n", name);
		errno = EROFS;
		return -1;
	}
	return append_entry(name, value);
}

extern "C" char *fw_getenv(const char *name)
{
	free(last_value);
	last_value = nullptr;
	if (!name)
		return nullptr;
	bool loaded_here = false;
	if (!env_state.image) {
		if (fw_env_load(env_default_options()) < 0)
			return nullptr;
		loaded_here = true;
	}
	const char *value = lookup_loaded(name);
	if (value)
		last_value = strdup(value);
	if (loaded_here)
		fw_env_release(env_default_options());
	return last_value;
}

extern "C" int fw_env_set(int argc, char *const argv[], struct env_options *opts)
{
	if (argc < 1 || !argv || !argv[0]) {
		fprintf(stderr, "## Error: variable name missing\n");
		errno = EINVAL;
		return -1;
	}
	const env_options *o = opts ? opts : env_default_options();
	if (fw_env_load(o) < 0) {
		fprintf(stderr, "Error: environment not initialized\n");
		return -1;
	}
	const char *name = argv[0];
	// The value words end at the first missing one.
	int words = 0;
	while (words < argc - 1 && argv[1 + words])
		words++;
	char *value = nullptr;
	if (check_params(name, argv + 1, words) < 0 || join_words(argv + 1, words, &value) < 0) {
		fw_env_release(o);
		return -1;
	}
	// A refused change is reported by its message; the environment is
	// written back either way.
	fw_env_write(name, value);
	free(value);
	int rc = fw_env_commit(o);
	fw_env_release(o);
	return rc;
}
