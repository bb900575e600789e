// The JSON text of a decoded tree, byte for byte what json-c's pretty printer
// (JSON_C_TO_STRING_PRETTY) makes of the same values:
//  - an object or array opens, each member or element follows on a line of
//    its own indented by two blanks a level, separated by commas, and the
//    closing bracket stands on a line of its own at the container's level;
//    an empty one is the opening bracket, a newline and the closing one;
//  - a member is "name":value, without a blank;
//  - strings escape the double quote, the backslash and the slash, the
//    control characters \b \f \n \r \t by name and the other ones as \u00xx
//    (lower-case hex); every other byte is written as it is;
//  - integers in decimal; reals with REAL_FORMAT, followed by ".0" when that
//    shows neither a point nor an exponent, and NaN, Infinity, -Infinity
//    for the values that have no number.  The converter never sets a
//    locale, so the decimal point is '.'.
#include "json_text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// Bytes that a string shows escaped; the NUL, which ends it, too.
constexpr std::array<bool, 256> make_escaped()
{
	std::array<bool, 256> escaped{};
	for (unsigned c = 0; c < 0x20; c++)
		escaped[c] = true;
	escaped['"'] = escaped['\\'] = escaped['/'] = true;
	return escaped;
}
constexpr std::array<bool, 256> ESCAPED = make_escaped();

// The same, and the two bytes that may begin a macro: '%' and W.
constexpr std::array<bool, 256> make_special()
{
	std::array<bool, 256> special = make_escaped();
	special['%'] = special['W'] = true;
	return special;
}
constexpr std::array<bool, 256> SPECIAL = make_special();

// The first byte from p on that stop marks; the NUL ends every search.
const char *skip(const char *p, const std::array<bool, 256> &stop)
{
	auto at = [&](size_t i) { return stop[static_cast<unsigned char>(p[i])]; };
	for (;; p += 4) {
		if (at(0))
			return p;
		if (at(1))
			return p + 1;
		if (at(2))
			return p + 2;
		if (at(3))
			return p + 3;
	}
}

// A line break and the indent of up to INDENT_LEVELS levels.
constexpr unsigned INDENT_LEVELS = 64;
constexpr size_t MAX_INDENT = 2 * INDENT_LEVELS;
constexpr std::array<char, 1 + MAX_INDENT> make_line_start()
{
	std::array<char, 1 + MAX_INDENT> line{};
	line[0] = '\n';
	for (size_t i = 1; i < line.size(); i++)
		line[i] = ' ';
	return line;
}
constexpr std::array<char, 1 + MAX_INDENT> LINE_START = make_line_start();

class json_writer {
public:
	json_writer(const member_replacements &replacements, url_expander &out)
	    : replacements_(replacements), out_(out)
	{}

	void value(rde_bej_value *value, unsigned level)
	{
		uint32_t type = rde_bej_get_type(value);
		if (type == RDE_BEJ_DATA_TYPE_SET || type == RDE_BEJ_DATA_TYPE_ARRAY)
			children(value, level, type == RDE_BEJ_DATA_TYPE_SET);
		else
			scalar(value, type);
	}

private:
	void children(rde_bej_value *container, unsigned level, bool set)
	{
		out_.put_plain(set ? "{" : "[");
		bool first = true;
		for (rde_bej_value *child = rde_bej_get_first_child(container);
		     child && !out_.full(); child = rde_bej_get_next_sibling(child)) {
			rde_bej_value *shown = set ? replacements_.value_at(child) : child;
			if (!shown)
				continue;
			if (!first)
				out_.put_plain(",");
			first = false;
			line_start(level + 1);
			if (set)
				key(child);
			value(shown, level + 1);
		}
		line_start(level);
		out_.put_plain(set ? "}" : "]");
	}

	void key(const rde_bej_value *member)
	{
		out_.put_plain("\"");
		if (const char *annotated = rde_bej_get_annotated_name(member))
			escaped(annotated);
		escaped(rde_bej_get_name(member));
		out_.put_plain("\":");
	}

	// The getters cannot fail here: prepare_bej_tree() has called each.
	void scalar(rde_bej_value *value, uint32_t type)
	{
		switch (type) {
		case RDE_BEJ_DATA_TYPE_INTEGER: {
			int64_t number = 0;
			rde_bej_get_integer(value, &number);
			return integer(number);
		}
		case RDE_BEJ_DATA_TYPE_ENUM: {
			const char *option = "";
			rde_bej_get_enum(value, &option);
			return string(option);
		}
		case RDE_BEJ_DATA_TYPE_STRING: {
			char *text = nullptr;
			rde_bej_get_string(value, &text);
			return string(text);
		}
		case RDE_BEJ_DATA_TYPE_REAL: {
			double number = 0;
			rde_bej_get_real(value, &number);
			return real(number);
		}
		case RDE_BEJ_DATA_TYPE_BOOLEAN: {
			bool flag = false;
			rde_bej_get_boolean(value, &flag);
			return out_.put_plain(flag ? "true" : "false");
		}
		case RDE_BEJ_DATA_TYPE_RESOURCE_LINK: {
			uint32_t id = 0;
			rde_bej_get_resource_link(value, &id);
			return integer(id);
		}
		default:  // null: prepare_bej_tree() refuses every other type
			return out_.put_plain("null");
		}
	}

	void string(const char *text)
	{
		out_.put_plain("\"");
		escaped(text);
		out_.put_plain("\"");
	}

	// Writes the NUL-terminated text with json-c's escapes.  From the first
	// '%' or W of a run on, the run goes to the expander to be read for
	// macros; what comes before is plain text.
	void escaped(const char *text)
	{
		for (const char *p = text;;) {
			const char *run = p;
			p = skip(p, SPECIAL);
			out_.put_plain(run, static_cast<size_t>(p - run));
			if (*p == '%' || *p == 'W') {
				run = p;
				p = skip(p, ESCAPED);
				out_.put(run, static_cast<size_t>(p - run));
			}
			if (*p == '\0')
				return;
			escape(static_cast<unsigned char>(*p++));
		}
	}

	void escape(unsigned char c)
	{
		switch (c) {
		case '\b':
			return out_.put_plain("\\b");
		case '\f':
			return out_.put_plain("\\f");
		case '\n':
			return out_.put_plain("\\n");
		case '\r':
			return out_.put_plain("\\r");
		case '\t':
			return out_.put_plain("\\t");
		case '"':
			return out_.put_plain("\\\"");
		case '\\':
			return out_.put_plain("\\\\");
		case '/':
			return out_.put_plain("\\/");
		default: {
			static constexpr char HEX[] = "0123456789abcdef";
			const char code[] = {'\\', 'u', '0', '0', HEX[c >> 4], HEX[c & 15]};
			return out_.put_plain(code, sizeof code);
		}
		}
	}

	void integer(int64_t number)
	{
		char text[24];
		auto result = std::to_chars(text, text + sizeof text, number);
		out_.put_plain(text, static_cast<size_t>(result.ptr - text));
	}

	void real(double number)
	{
		if (std::isnan(number))
			return out_.put_plain("NaN");
		if (std::isinf(number))
			return out_.put_plain(number > 0 ? "Infinity" : "-Infinity");
		char text[40];
		int length = snprintf(text, sizeof text, REAL_FORMAT, number);
		out_.put_plain(text, static_cast<size_t>(length));
		if (!memchr(text, '.', length) && !memchr(text, 'e', length))
			out_.put_plain(".0");
	}

	void line_start(unsigned level)
	{
		size_t indent = 2 * size_t{level};
		size_t part = std::min(indent, MAX_INDENT);
		out_.put_plain(LINE_START.data(), 1 + part);
		for (indent -= part; indent > 0; indent -= part) {
			part = std::min(indent, MAX_INDENT);
			out_.put_plain(LINE_START.data() + 1, part);
		}
	}

	const member_replacements &replacements_;
	url_expander &out_;
};

}  // namespace

void write_json_text(rde_bej_value *root, const member_replacements &replacements,
		     url_expander &out)
{
	json_writer(replacements, out).value(root, 0);
}
