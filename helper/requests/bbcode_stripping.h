// BBCode operations on strings: the plain text of a BBCode text and the link of its first link
// token, and the scanner operation that reads one token.
//
// Token syntax:
//   [name]title[/name]              an ordinary token without an attribute
//   [name=attribute]title[/name]    a token with an attribute (any text without "[" or "]")
//   [url]link[/url]                 the link is both the attribute and the title; the same for
//                                   [urltoencode]link[/urltoencode]
// - A name is one or more ASCII letters and digits; every name is a token, there is no fixed
//   set. "url" and "urltoencode" (exactly, lower case) are the link tokens; their attribute is
//   the link, and an "urltoencode" link is percent-encoded before use.
// - A closing tag matches its opening tag whatever the letter case ("[b]x[/B]"); the name is
//   reported as the opening tag writes it.
// - Tokens of the same name nest: "[q]a[q]b[/q]c[/q]" is one token whose title is "abc". Among
//   tags of the same name, a closing tag closes the innermost open one.
// - The title is the text between the tags with every token nested inside it replaced by its
//   own title, at any depth. A nested token counts only when it closes inside its parent; an
//   opening tag whose closing tag lies outside the parent stays in the title as text.
// - An opening tag whose closing tag never comes is no token: it stays in the text as it is.
//
// Cost: linear in the text. A text whose tokens all close, each inside the one around it (as
// usual notes do), is stripped in one reading, written in place into the result, with no other
// memory. Any other text, and every link search and token read, take the full reading: first
// to find where each opening tag closes, matched name by name, then to copy the text. That
// reading has no speed goal (it runs five to twenty times slower) and keeps four bytes for each
// opening tag and each token around the read position, within 4/3 of the text, and an entry
// for each distinct name: with the result, about 2.4 times the text for a text of opening tags.
// A "[" that never closes costs nothing more than the reading itself, and nesting is followed
// on an explicit stack rather than by recursion.
//
// Nothing in the helper calls these operations today: its answers carry notes in BBCode as
// they are. They are kept as the helper's one reading of the mark-up its
// notes are written in, for the day a note's plain text or link is wanted (a title drawn from a
// note, say), and are tested and fuzzed like every other reader of outside input.
#pragma once

#include <optional>
#include <string>

#include "platform/scanner.h"

namespace pendra {

// The text with every token replaced by its title and every other character kept.
std::string stringByStrippingBBCode(const std::string& text);

// The link of the first "url" or "urltoencode" token read from left to right, the latter
// percent-encoded (URL host character set, upper-case hexadecimal); empty when there is none.
// A token of any other name is passed over whole, links inside it included.
std::string firstBBCodeURLString(const std::string& text);

// Reads one token starting at the scanner's location, which must be a "[". On success the
// scanner stands just after the token's closing tag, *title holds the stripped title, *name the
// name as written, and *attribute the attribute (absent for an ordinary token without one; the
// link for a link token). Otherwise answers false and leaves the scanner where it was. Any of
// the out-parameters may be null.
bool scanBBToken(platform::Scanner& scanner, std::optional<std::string>* name,
                 std::optional<std::string>* attribute, std::optional<std::string>* title);

}  // namespace pendra
